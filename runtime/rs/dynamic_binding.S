/* Special variables: per-thread values of symbols, and the binding stack
   that records every binding so that it can be undone.

   A symbol's value vector (a simple vector) holds one binding cell per
   thread, at the byte offset that is the thread's binding index (the raw
   word at thread+0x62, a fixnum). A thread whose index lies beyond the
   vector, or whose element is the symbol itself, sees the global value. A
   cell is the symbol itself or a locative, symbol-shaped, whose value lies
   at cell-0x13 like a symbol's global value: a heap locative, or 32 bytes
   that the calling function reserves in its frame.

   The binding stack is the direct sysvector at thread+0x6e, data from its
   word p-2: entries of 8 bytes (symbol, the cell current before the
   binding), entry k at data + 8k. thread+0xe6 is the top (bytes, 0 when
   empty), thread+0xc2 the room (entries that may still be pushed).

   Decisions:
   - qsymloc on a vector shorter than the index answers the symbol (the
     global cell); qsetloc then stores nothing.
   - unbind_count with a count of 0 (or below) undoes nothing.
   - No unbinder pops below the first entry: unbind_one_spec on an empty
     stack changes nothing, unbind_count undoes at most what the stack
     holds.
   - An unbinder leaves the released cell as it is.
   - unbind_to never pops below the first entry and never raises the top:
     a mark above the top leaves the stack as it is, and the top written
     back is where the loop stopped.
   - The trap path of qsymeval and symeval uses a full runtime frame (slots
     cleared), so that the collector's walk may run inside the handler.
   - A binding stack that cannot grow ends the process: a binding that
     cannot be made cannot be honoured. */
#include "runtime/rs/runtime_frame.inc"

#define NIL_UNBOUND_MARKER (-0x29)
#define NIL_INITIAL_FUNCTION (-0x4dd)
#define NIL_SLOT_TRAP_SYM_CONS 0x363
#define NIL_SLOT_TRAP_UNBOUND (-0x7d)

#define THREAD_BINDING_INDEX 0x62
#define THREAD_BINDING_STACK 0x6e
#define THREAD_BINDING_ROOM 0xc2
#define THREAD_BINDING_TOP 0xe6
#define THREAD_TRAP_ERROR_DATUM 0x13a

#define SYMBOL_VALUE (-0x13)
#define SYMBOL_VALUE_VECTOR 1
#define CELL_HEADER (-0x17)
#define CELL_HASH (-0xf)
#define CELL_FUNCTION (-0xb)
#define CELL_SYMBOL (-7)
#define CELL_PLIST (-3)
#define CELL_VALUE_VECTOR 1
#define CELL_LISP_SLOT 5
#define CELL_BYTES 0x20
#define LOCATIVE_TYPE 0x87

#define SVECTOR_LENGTH (-0xe)
#define SVECTOR_DATA (-0xa)
#define SYSVECTOR_HEADER (-0x12)
#define SYSVECTOR_WORD_3 (-6)
#define SYSVECTOR_OVERHEAD_BYTES 12
#define ENTRY_SYMBOL (-2)               /* from the block's word + the top */
#define ENTRY_PREVIOUS 2
#define ENTRY_BYTES 8
#define GROWTH_ENTRIES 64
#define EXTRA_ELEMENTS FIXNUM(16)

        .intel_syntax noprefix
        .section .text.sorted.fi_runtime_5_dynamic_binding, "ax", @progbits

/* CURRENT_CELL cell, symbol, scratch: cell := the thread's cell of the
   symbol (ebx = thread): the vector's element at the binding index when
   the vector covers it, else the symbol. cell and symbol are different
   registers. */
.macro CURRENT_CELL cell, symbol, scratch
        mov \scratch, [\symbol + SYMBOL_VALUE_VECTOR]
        mov \cell, [ebx + THREAD_BINDING_INDEX]
        cmp \cell, [\scratch + SVECTOR_LENGTH]
        jge .Lglobal_cell\@
        mov \cell, [\scratch + SVECTOR_DATA + \cell]
        jmp .Lcell_found\@
.Lglobal_cell\@:
        mov \cell, \symbol
.Lcell_found\@:
.endm

/* BARRIER_TEST: after eax was stored at [edx]: the page of a slot outside
   new space is marked when the stored word lies above the fence. */
.macro BARRIER_TEST
        cmp edx, [edi + NIL_NEW_SPACE_BOUNDARY]
        ja .Lbarrier_done\@
        cmp eax, [edi + NIL_NEW_SPACE_BOUNDARY]
        jbe .Lbarrier_done\@
        call gsgc_setf_protect_1
.Lbarrier_done\@:
.endm

/* RETURN_KEEPING_VALUES: the unbinders' return: carry set exactly when
   ecx is not 1. */
.macro RETURN_KEEPING_VALUES
        cmp ecx, 1
        clc
        je .Lone_value\@
        stc
.Lone_value\@:
        ret
.endm

/* SYMBOL_TEST_OR_TRAP trap: eax is not nil; jumps to trap unless it has
   the symbol shape ((word - 7) & 3 = 0). Keeps every register. */
.macro SYMBOL_TEST_OR_TRAP trap
        push eax
        sub eax, 7
        test al, 3
        pop eax
        jnz \trap
.endm

/* qsymeval: frameless leaf. In: eax = symbol or nil. Out: eax = the
   symbol's value for this thread (nil for nil); other registers kept. Any
   other object traps through the slot nil+0x363. */
        .globl qsymeval
        .hidden qsymeval
        .type qsymeval, @function
qsymeval:
        cmp eax, edi
        je 9f                                   /* equal: carry clear */
        push ecx
        lea ecx, [eax - 7]
        test cl, 3
        jnz 8f
        push edx
        CURRENT_CELL edx, eax, ecx
        mov eax, [edx + SYMBOL_VALUE]
        pop edx
        pop ecx
        clc
9:      ret
8:      pop ecx
        jmp symbol_trap
        .size qsymeval, . - qsymeval

/* symbol_trap: jumped to from the readers with eax = the object, ebp the
   caller's frame. -1 into the caller's ebp-0x10, then from a runtime frame
   the trap entry with eax = the object - 7, as the trap dispatcher takes a
   symbol register. The instruction after the call only encodes the field
   for it: ModRM 0x40 with displacement 8, the word at +1 of the object
   (the value vector: error 26 with the object); a lea, which reads no
   memory through the object. Out: what the error function returned (the
   trap handler leaves it in the thread's error-datum word), one value. */
        .type symbol_trap, @function
symbol_trap:
        mov dword ptr [ebp - 0x10], -1
        RUNTIME_FRAME
        sub eax, 7
        call [edi + NIL_SLOT_TRAP_SYM_CONS]
        lea eax, [eax + SYMBOL_VALUE_VECTOR + 7]
        mov eax, [ebx + THREAD_TRAP_ERROR_DATUM]
        RUNTIME_RETURN
        .size symbol_trap, . - symbol_trap

/* symeval: In: eax = symbol or nil. As qsymeval; the unbound marker
   (nil-0x29) stores -1 in the caller's frame word -0x10, as the non-symbol
   trap does, and traps through the entry at nil-0x7d from a runtime frame,
   in the form the unbound handler takes: ecx = the symbol, and just before the
   trap a compare of eax with the marker (3B 47 D7), a 2-byte jump and the
   3-byte call, so that the handler stores the continuable error's value
   into eax. Out: that value; ecx as it came; esi reloaded from the
   caller's ebp-4. */
        .globl symeval
        .hidden symeval
        .type symeval, @function
symeval:
        cmp eax, edi
        je 8f
        SYMBOL_TEST_OR_TRAP symbol_trap
        push eax
        call qsymeval
        cmp eax, [edi + NIL_UNBOUND_MARKER]
        je 1f
        add esp, 4
8:      mov esi, [ebp - 4]
        clc
        ret
1:      pop eax
        mov dword ptr [ebp - 0x10], -1          /* the caller's frame: a trap below */
        RUNTIME_FRAME
        mov [ebp - 8], ecx                      /* a raw word of the frame */
        mov ecx, eax
        mov eax, [edi + NIL_UNBOUND_MARKER]
        cmp eax, [edi + NIL_UNBOUND_MARKER]
        jne 2f
        call [edi + NIL_SLOT_TRAP_UNBOUND]
2:      mov ecx, [ebp - 8]
        RUNTIME_RETURN
        .size symeval, . - symeval

/* qsetq: frameless leaf. In: eax = value, edx = symbol. The value goes
   into the thread's cell (no barrier step: gc_set_protect is the barriered
   form). Out: eax = the value; other registers kept. */
        .globl qsetq
        .hidden qsetq
        .type qsetq, @function
qsetq:
        push ecx
        push esi
        CURRENT_CELL esi, edx, ecx
        mov [esi + SYMBOL_VALUE], eax
        pop esi
        pop ecx
        clc
        ret
        .size qsetq, . - qsetq

/* qsymloc: frameless leaf. In: eax = symbol. Out: eax = the thread's
   current cell; other registers kept. */
        .globl qsymloc
        .hidden qsymloc
        .type qsymloc, @function
qsymloc:
        push ecx
        push edx
        CURRENT_CELL edx, eax, ecx
        mov eax, edx
        pop edx
        pop ecx
        clc
        ret
        .size qsymloc, . - qsymloc

/* qsetloc: frameless leaf. In: eax = cell, edx = symbol. The cell becomes
   the thread's element of the symbol's vector, with the barrier test;
   nothing is stored when the vector does not cover the index. Out: eax =
   the cell; other registers kept. */
        .globl qsetloc
        .hidden qsetloc
        .type qsetloc, @function
qsetloc:
        push ecx
        push edx
        mov ecx, [edx + SYMBOL_VALUE_VECTOR]
        mov edx, [ebx + THREAD_BINDING_INDEX]
        cmp edx, [ecx + SVECTOR_LENGTH]
        jge 9f
        lea edx, [ecx + SVECTOR_DATA + edx]
        mov [edx], eax
        BARRIER_TEST
9:      pop edx
        pop ecx
        clc
        ret
        .size qsetloc, . - qsetloc

/* write_frame_cell: In: eax = a frame cell (tagged), edx = value, ecx =
   symbol. Writes the cell's eight words; every register kept. */
        .type write_frame_cell, @function
write_frame_cell:
        mov dword ptr [eax + CELL_HEADER], LOCATIVE_TYPE
        mov [eax + SYMBOL_VALUE], edx
        mov [eax + CELL_HASH], edi
        push edx
        mov edx, [edi + NIL_INITIAL_FUNCTION]
        mov [eax + CELL_FUNCTION], edx
        pop edx
        mov [eax + CELL_SYMBOL], ecx
        mov [eax + CELL_PLIST], edi
        mov [eax + CELL_VALUE_VECTOR], edi
        mov [eax + CELL_LISP_SLOT], edi
        ret
        .size write_frame_cell, . - write_frame_cell

/* COVER_INDEX symbol: (a memory operand or register other than eax/edx)
   the symbol's vector is extended when it does not cover the binding
   index. Clobbers eax, ecx, edx. */
.macro COVER_INDEX symbol
        mov eax, \symbol
        mov ecx, [eax + SYMBOL_VALUE_VECTOR]
        mov edx, [ebx + THREAD_BINDING_INDEX]
        cmp edx, [ecx + SVECTOR_LENGTH]
        jl .Lcovered\@
        call extend_symbol_value_vector
        mov ebx, [ebp - 0x1c]
.Lcovered\@:
.endm

/* PUSH_ENTRY: edx = symbol. The entry (symbol, current cell) at the top,
   which grows by 8. Clobbers eax and ecx. */
.macro PUSH_ENTRY
        mov ecx, [ebx + THREAD_BINDING_TOP]
        add ecx, [ebx + THREAD_BINDING_STACK]
        mov [ecx + ENTRY_SYMBOL], edx
        mov eax, edx
        call qsymloc
        mov [ecx + ENTRY_PREVIOUS], eax
        add dword ptr [ebx + THREAD_BINDING_TOP], ENTRY_BYTES
.endm

/* bind_one_spec: runtime routine. In: eax = value, edx = symbol, ecx = 0
   for the frame cell whose tagged pointer the caller left at its ebp-0x18,
   else a new heap locative. Out: eax = the new cell, now the thread's
   cell of the symbol. The value and symbol wait in the home slots, the
   frame cell's pointer (0 for a heap cell) at ebp-0x18, the heap cell at
   ebp-0x14. The routines it calls keep their arguments in home slots at
   ebp-0x28 and ebp-0x24, words the stack walk visits (it never visits
   ebp-0x20). */
        .globl bind_one_spec
        .hidden bind_one_spec
        .type bind_one_spec, @function
bind_one_spec:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push 0                                  /* ebp-0x20: unused, never visited */
        push 0                                  /* home slots of the routines called */
        push 0
        test ecx, ecx
        jnz 1f
        mov ecx, [ebp]
        mov ecx, [ecx - 0x18]
        mov [ebp - 0x18], ecx
1:      COVER_INDEX [ebp+12]
        dec dword ptr [ebx + THREAD_BINDING_ROOM]
        jns 2f
        call bnp_overflow
        mov ebx, [ebp - 0x1c]
2:      mov eax, [ebp - 0x18]
        test eax, eax
        jz 3f
        mov edx, [ebp + 8]
        mov ecx, [ebp + 12]
        call write_frame_cell
        jmp 4f
3:      mov eax, [ebp + 12]
        mov edx, [ebp + 8]
        mov ecx, 2
        call new_locative
        mov ebx, [ebp - 0x1c]
4:      mov [ebp - 0x14], eax
        mov edx, [ebp + 12]
        PUSH_ENTRY
        mov eax, [ebp - 0x14]
        call qsetloc
        RUNTIME_RETURN
        .size bind_one_spec, . - bind_one_spec

/* FIRST_SYMBOL_ADDRESS reg: reg := the address of the first symbol that
   bind_specs binds: the caller's function (its ebp-4) + m + 4, m the
   fixnum at the caller's ebp-0x18. Clobbers ecx. */
.macro FIRST_SYMBOL_ADDRESS reg
        mov \reg, [ebp]
        mov ecx, [\reg - 0x18]
        sar ecx, 2
        mov \reg, [\reg - 4]
        lea \reg, [\reg + ecx + 4]
.endm

/* bind_specs: runtime routine. In: ecx = n; n-1 symbols bound in order,
   read from the caller's function (see FIRST_SYMBOL_ADDRESS); their frame
   cells from eax on, 0x20 bytes apart; their values edx, then the stacked
   arguments. Every vector is extended before anything is pushed. Out: eax
   = nil. Frame: ebp-0x20 the symbol number j times 4, ebp-0x24 the count
   times 4, ebp-0x28 the next entry's offset, then the home slots of the
   routines it calls; the next cell at ebp+8; value j at ebp+12+4j. */
        .globl bind_specs
        .hidden bind_specs
        .type bind_specs, @function
bind_specs:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        lea eax, [4 * ecx - 4]
        push 0                                  /* ebp-0x20 */
        push eax                                /* ebp-0x24 */
        push 0                                  /* ebp-0x28 */
        push 0                                  /* home slots of the routines called */
        push 0
        test eax, eax
        jle 9f
1:      FIRST_SYMBOL_ADDRESS esi
        add esi, [ebp - 0x20]
        COVER_INDEX [esi]
        add dword ptr [ebp - 0x20], 4
        mov eax, [ebp - 0x20]
        cmp eax, [ebp - 0x24]
        jb 1b
        mov eax, [ebp - 0x24]
        shr eax, 2
        sub [ebx + THREAD_BINDING_ROOM], eax
        jns 2f
        call bnp_overflow
        mov ebx, [ebp - 0x1c]
2:      mov dword ptr [ebp - 0x20], 0
3:      FIRST_SYMBOL_ADDRESS esi
        add esi, [ebp - 0x20]
        mov ecx, [esi]
        mov eax, [ebp - 0x20]
        mov edx, [ebp + 12 + eax]
        mov eax, [ebp + 8]
        call write_frame_cell
        mov edx, ecx
        PUSH_ENTRY
        mov eax, [ebp + 8]
        call qsetloc
        add dword ptr [ebp + 8], CELL_BYTES
        add dword ptr [ebp - 0x20], 4
        mov eax, [ebp - 0x20]
        cmp eax, [ebp - 0x24]
        jb 3b
9:      mov eax, edi
        RUNTIME_RETURN
        .size bind_specs, . - bind_specs

/* RESTORE_ENTRY: esi = the entry's offset from the block's word. Its
   previous cell becomes its symbol's cell again. Clobbers eax, edx. */
.macro RESTORE_ENTRY
        mov eax, [ebx + THREAD_BINDING_STACK]
        mov edx, [eax + esi + ENTRY_SYMBOL]
        mov eax, [eax + esi + ENTRY_PREVIOUS]
        call qsetloc
.endm

/* unbind_one_spec: In: eax, edx, ecx = values to keep. Undoes the newest
   binding. Out: eax, edx, ecx as given; carry set when ecx is not 1. */
        .globl unbind_one_spec
        .hidden unbind_one_spec
        .type unbind_one_spec, @function
unbind_one_spec:
        push eax
        push edx
        push esi
        mov esi, [ebx + THREAD_BINDING_TOP]
        sub esi, ENTRY_BYTES
        jl 9f                                   /* an empty stack */
        mov [ebx + THREAD_BINDING_TOP], esi
        inc dword ptr [ebx + THREAD_BINDING_ROOM]
        RESTORE_ENTRY
9:      pop esi
        pop edx
        pop eax
        RETURN_KEEPING_VALUES
        .size unbind_one_spec, . - unbind_one_spec

/* unbind_count: In: eax, edx, ecx = values to keep; the caller's ebp-0x18
   = c (raw). Room and top move by c entries at once, then the c entries
   are restored newest first. Out as unbind_one_spec. */
        .globl unbind_count
        .hidden unbind_count
        .type unbind_count, @function
unbind_count:
        push eax
        push edx
        push esi
        mov eax, [ebp - 0x18]
        test eax, eax
        jle 9f
        mov esi, [ebx + THREAD_BINDING_TOP]
        shr esi, 3
        cmp eax, esi
        jbe 1f
        mov eax, esi                            /* no more than the stack holds */
1:      test eax, eax
        jz 9f
        add [ebx + THREAD_BINDING_ROOM], eax
        mov esi, [ebx + THREAD_BINDING_TOP]
        shl eax, 3
        sub [ebx + THREAD_BINDING_TOP], eax
2:      sub esi, ENTRY_BYTES
        RESTORE_ENTRY
        cmp esi, [ebx + THREAD_BINDING_TOP]
        jg 2b
9:      pop esi
        pop edx
        pop eax
        RETURN_KEEPING_VALUES
        .size unbind_count, . - unbind_count

/* unbind_to: In: eax, edx, ecx = values to keep; the caller's ebp-0x18 =
   a mark (a top recorded earlier). Restores entries newest first while the
   top (signed) exceeds the mark and is above 0, then writes the top and
   room. Out as unbind_one_spec. */
        .globl unbind_to
        .hidden unbind_to
        .type unbind_to, @function
unbind_to:
        push eax
        push edx
        push esi
        push ecx
        mov esi, [ebx + THREAD_BINDING_TOP]
        mov ecx, esi
1:      cmp esi, [ebp - 0x18]
        jle 2f
        test esi, esi
        jle 2f
        sub esi, ENTRY_BYTES
        RESTORE_ENTRY
        jmp 1b
2:      mov [ebx + THREAD_BINDING_TOP], esi
        sub ecx, esi
        sar ecx, 3
        add [ebx + THREAD_BINDING_ROOM], ecx
        pop ecx
        pop esi
        pop edx
        pop eax
        RETURN_KEEPING_VALUES
        .size unbind_to, . - unbind_to

/* extend_symbol_value_vector: runtime routine. In: eax = symbol S, edx =
   binding index i (fixnum-shaped byte offset). S's vector becomes one of
   i/4 + 16 elements: the old elements, then S. Stored with
   gc_setf_protect. Out: eax = the new vector. S and i wait in the home
   slots, the new vector at ebp-0x14. */
        .globl extend_symbol_value_vector
        .hidden extend_symbol_value_vector
        .type extend_symbol_value_vector, @function
extend_symbol_value_vector:
        RUNTIME_FRAME
        mov [ebp + 8], eax
        mov [ebp + 12], edx
        push eax                                /* the fill, argument 3 */
        push 0
        push 0
        lea eax, [edx + EXTRA_ELEMENTS]
        xor edx, edx
        mov ecx, 3
        call new_simple_vector
        add esp, 12
        mov [ebp - 0x14], eax
        mov edx, [ebp + 8]
        mov edx, [edx + SYMBOL_VALUE_VECTOR]
        mov ecx, [edx + SVECTOR_LENGTH]
        cmp ecx, [eax + SVECTOR_LENGTH]
        jle 1f
        mov ecx, [eax + SVECTOR_LENGTH]
1:      sar ecx, 2
        test ecx, ecx
        jle 3f
        push esi
        push edi
        lea esi, [edx + SVECTOR_DATA]
        lea edi, [eax + SVECTOR_DATA]
        cld
        rep movsd
        pop edi
        pop esi
3:      mov edx, [ebp + 8]
        lea edx, [edx + SYMBOL_VALUE_VECTOR]
        call gc_setf_protect
        mov eax, [ebp - 0x14]
        RUNTIME_RETURN
        .size extend_symbol_value_vector, . - extend_symbol_value_vector

/* bnp_overflow: runtime routine; thread register only. The binding stack
   grows by g entries (g = 64 - room when the room is negative, else 64)
   through new_direct_sysvector_pvec, which keeps the entries at their
   offsets; the block's word 3 is carried. The room becomes room + g.
   Out: eax = the new room. A block that cannot grow ends the process
   (binding_stack_exhausted) with block and room as they were. g waits at
   ebp-0x20. */
        .globl bnp_overflow
        .hidden bnp_overflow
        .type bnp_overflow, @function
bnp_overflow:
        RUNTIME_FRAME
        mov eax, [ebx + THREAD_BINDING_ROOM]
        mov ecx, GROWTH_ENTRIES
        test eax, eax
        jns 1f
        sub ecx, eax
1:      push ecx                                /* ebp-0x20: g */
        mov edx, [ebx + THREAD_BINDING_STACK]
        push dword ptr [edx + SYSVECTOR_WORD_3]
        push 0
        push 0
        mov eax, [edx + SYSVECTOR_HEADER]
        shr eax, 8
        sub eax, SYSVECTOR_OVERHEAD_BYTES
        shr eax, 2
        lea eax, [eax + 2 * ecx]
        shl eax, 2
        mov ecx, 3
        call new_direct_sysvector_pvec
        add esp, 12
        mov ebx, [ebp - 0x1c]
        test ecx, ecx
        jnz 2f
        mov [ebx + THREAD_BINDING_STACK], eax
        mov eax, [ebx + THREAD_BINDING_ROOM]
        add eax, [ebp - 0x20]
        mov [ebx + THREAD_BINDING_ROOM], eax
        RUNTIME_RETURN
2:      CALL_NATIVE binding_stack_exhausted
        RUNTIME_RETURN
        .size bnp_overflow, . - bnp_overflow

        .section .note.GNU-stack, "", @progbits
