/* Test-side callers for the call glue whose effects outlive a plain call:
   st_restify leaves its cells below the caller's stack pointer, an exit
   breakpoint is reached by a return, and the volatile area is saved and
   restored around a clobbered x87 unit. */
        .intel_syntax noprefix
        .text

#define SLOT_ST_RESTIFY 0x26b
#define PROBE_LIST_WORDS 8

/* restify_stack_probe: harness target. In: eax = address of the rest
   arguments, ecx = 8 * (k + 1), edx = 0 or 4 (added to the cell word, so 4
   gives the tag-5 form). Calls st_restify from an 8-aligned esp with edx =
   the cell just below it, then copies the list (cars and cell words, at most
   PROBE_LIST_WORDS) and the esp it returned with before the harness frame
   reuses that stack. Out: eax = the list (dead once this returns). */
        .globl restify_stack_probe
        .type restify_stack_probe, @function
restify_stack_probe:
        mov [restify_probe_esp_entry], esp
        and esp, -8                             /* stack conses are 8-aligned */
        mov [restify_probe_esp_before], esp
        lea edx, [esp + edx - 8 + 0x11]
        call dword ptr [edi + SLOT_ST_RESTIFY]
        setc byte ptr [restify_probe_carry]
        mov [restify_probe_esp_after], esp
        mov [restify_probe_esi], esi
        push ebx
        xor ecx, ecx
        mov edx, eax
1:      cmp edx, edi
        je 2f
        cmp ecx, PROBE_LIST_WORDS
        jae 2f
        mov ebx, [edx - 0x11]
        mov [restify_probe_cars + 4 * ecx], ebx
        mov [restify_probe_cells + 4 * ecx], edx
        mov edx, [edx - 0xd]
        inc ecx
        jmp 1b
2:      mov [restify_probe_length], ecx
        pop ebx
        mov esp, [restify_probe_esp_entry]
        clc
        ret
        .size restify_stack_probe, . - restify_stack_probe

/* exit_breakpoint_probe: harness target that returns through an exit
   breakpoint. In: eax, edx and ecx = the values to return; exit_probe_carry
   = 1 for the carry set; exit_probe_entry = the breakpoint entry. Parks
   its real return address in the caller's frame word -0xc and returns to
   the entry instead, as break_on_exit_control arranges. */
        .globl exit_breakpoint_probe
        .type exit_breakpoint_probe, @function
exit_breakpoint_probe:
        push eax
        mov eax, [esp + 4]
        mov [ebp - 0xc], eax
        mov eax, [exit_probe_entry]
        mov [esp + 4], eax
        pop eax
        cmp dword ptr [exit_probe_carry], 0
        je 1f
        stc
        ret
1:      clc
        ret
        .size exit_breakpoint_probe, . - exit_breakpoint_probe

/* edx_clobbering_start: the start word of a stand-in Lisp function that
   changes edx and then records its call as lisp_recorder_entry does. */
        .globl edx_clobbering_start
        .type edx_clobbering_start, @function
edx_clobbering_start:
        mov edx, 0x3c3c
        jmp lisp_recorder_entry
        .size edx_clobbering_start, . - edx_clobbering_start

/* free_list_reading_start: the start word of a stand-in Lisp function that
   stores the thread's word at free_list_probe_offset (ebx = the thread, as
   the stub leaves it) into free_list_seen and returns nil. */
        .globl free_list_reading_start
        .type free_list_reading_start, @function
free_list_reading_start:
        mov eax, [free_list_probe_offset]
        mov eax, [ebx + eax]
        mov [free_list_seen], eax
        mov eax, edi
        mov esi, [ebp - 4]
        clc
        ret
        .size free_list_reading_start, . - free_list_reading_start

/* volatile_round_trip(area, const double in[2], double out[2], uint32_t*
   edx_out): cdecl. Loads in[1] then in[0] (on top) and a marked edx, calls
   save_volatile(area), clobbers the x87 unit and edx, calls
   restore_volatile(area), and stores st(0), st(1) and edx. */
        .globl volatile_round_trip
        .type volatile_round_trip, @function
volatile_round_trip:
        push ebp
        mov ebp, esp
        mov eax, [ebp + 12]
        fld qword ptr [eax + 8]
        fld qword ptr [eax]
        mov edx, 0x5aa5c33c
        push dword ptr [ebp + 8]
        call save_volatile
        add esp, 4
        fld1
        fldpi
        fldz
        xor edx, edx
        push dword ptr [ebp + 8]
        call restore_volatile
        add esp, 4
        mov eax, [ebp + 20]
        mov [eax], edx
        mov eax, [ebp + 16]
        fstp qword ptr [eax]
        fstp qword ptr [eax + 8]
        pop ebp
        ret
        .size volatile_round_trip, . - volatile_round_trip

        .data
        .globl exit_probe_entry
exit_probe_entry: .long 0
        .globl exit_probe_carry
exit_probe_carry: .long 0
        .globl free_list_probe_offset, free_list_seen
free_list_probe_offset: .long 0
free_list_seen: .long 0
        .bss
        .balign 4
        .globl restify_probe_esp_before, restify_probe_esp_after, restify_probe_carry
        .globl restify_probe_esi, restify_probe_length, restify_probe_cars, restify_probe_cells
restify_probe_esp_entry: .zero 4
restify_probe_esp_before: .zero 4
restify_probe_esp_after: .zero 4
restify_probe_carry: .zero 4
restify_probe_esi: .zero 4
restify_probe_length: .zero 4
restify_probe_cars: .zero 4 * PROBE_LIST_WORDS
restify_probe_cells: .zero 4 * PROBE_LIST_WORDS

        .section .note.GNU-stack, "", @progbits
