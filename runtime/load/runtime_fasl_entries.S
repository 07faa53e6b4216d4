/* The runtime routines through which Lisp code loads and scans fasl files
   (runtime_fasl_loader.cpp, fasl_scanner.cpp), and the print bridges.

   Each is a thin bridge: the arguments go to the native body through
   CALL_NATIVE (inside a foreign-call record, the x87 stack freed, resuming
   at the record's throw continuation when a throw crossed the native code),
   and the native integer result comes back as a fixnum. The loader's
   record of its tables is kept in the bridge's first home slot, where the
   collector updates it as one of the caller's words; Lisp-value arguments
   stay in the caller's argument area, read by the body before it
   allocates. */
#include "runtime/rs/runtime_frame.inc"

#define HOME_1 8                         /* the caller's home slots */
#define HOME_2 12
#define ARG_3 16                         /* stacked arguments above them */
#define ARG_4 20
#define ARG_5 24

        .intel_syntax noprefix
        .text

/* load_fasl (nil+0x2a7): runtime routine. In: eax = descriptor (fixnum),
   edx = thread (the calling thread is used), stacked 3 = section key (nil
   or a symbol), 4 = base position (nil or a fixnum), 5 = trace flag.
   Out: eax = the loader's result (fixnum 0 to 9), carry clear. */
        .globl load_fasl
        .hidden load_fasl
        .type load_fasl, @function
load_fasl:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        mov [ebp + HOME_2], edx
        sar eax, 2
        lea esi, [ebp + HOME_1]
        CALL_NATIVE runtime_load_fasl, eax, esi, [ebp+ARG_3], [ebp+ARG_4], [ebp+ARG_5], ebx
        shl eax, 2
        RUNTIME_RETURN
        .size load_fasl, . - load_fasl

/* load_fasl_name (nil+0x2a3): runtime routine. In: eax = file name's
   native address (fixnum or one-digit bignum), edx = section key, stacked
   3 = base position, 4 = trace flag. Out: eax = 1 when the file cannot be
   opened, else the loader's result, as a fixnum; carry clear. */
        .globl load_fasl_name
        .hidden load_fasl_name
        .type load_fasl_name, @function
load_fasl_name:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        mov [ebp + HOME_2], edx
        lea esi, [ebp + HOME_1]
        CALL_NATIVE runtime_load_fasl_name, eax, esi, edx, [ebp+ARG_3], [ebp+ARG_4], ebx
        shl eax, 2
        RUNTIME_RETURN
        .size load_fasl_name, . - load_fasl_name

/* scan_fasl (nil+0x1ff): runtime routine. In: eax = descriptor (fixnum),
   edx = verbose flag. Out: eax = fixnum 0, -1 or -2; carry clear. */
        .globl scan_fasl
        .hidden scan_fasl
        .type scan_fasl, @function
scan_fasl:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        mov [ebp + HOME_2], edx
        sar eax, 2
        CALL_NATIVE scan_fasl_descriptor, eax, edx
        shl eax, 2
        RUNTIME_RETURN
        .size scan_fasl, . - scan_fasl

/* scan_fasl_name (nil+0x15f): runtime routine. In: eax = file name's
   native address (fixnum or one-digit bignum), edx = verbose flag.
   Out: eax = fixnum -1 when the file cannot be opened, else scan_fasl's
   result; carry clear. */
        .globl scan_fasl_name
        .hidden scan_fasl_name
        .type scan_fasl_name, @function
scan_fasl_name:
        RUNTIME_FRAME
        mov [ebp + HOME_1], eax
        mov [ebp + HOME_2], edx
        CALL_NATIVE scan_fasl_file, eax, edx
        shl eax, 2
        RUNTIME_RETURN
        .size scan_fasl_name, . - scan_fasl_name

/* vxmprint0, vxmprint1, vxmprint2, vxmprint3: runtime routines, the print
   bridges. In: eax = the format's native address (a fixnum), edx =
   argument a, stacked 3 = b, 4 = c; the arguments are passed to the
   formatter as the words they are. dovxmprintN (through print_bridgeN)
   prints through vxmprintf.
   Out: eax = its result as a fixnum; carry clear. */
        .globl vxmprint0
        .hidden vxmprint0
        .type vxmprint0, @function
vxmprint0:
        RUNTIME_FRAME
        sar eax, 2
        CALL_NATIVE print_bridge0, eax
        shl eax, 2
        RUNTIME_RETURN
        .size vxmprint0, . - vxmprint0

        .globl vxmprint1
        .hidden vxmprint1
        .type vxmprint1, @function
vxmprint1:
        RUNTIME_FRAME
        mov [ebp + HOME_2], edx
        sar eax, 2
        CALL_NATIVE print_bridge1, eax, edx
        shl eax, 2
        RUNTIME_RETURN
        .size vxmprint1, . - vxmprint1

        .globl vxmprint2
        .hidden vxmprint2
        .type vxmprint2, @function
vxmprint2:
        RUNTIME_FRAME
        mov [ebp + HOME_2], edx
        sar eax, 2
        CALL_NATIVE print_bridge2, eax, edx, [ebp+ARG_3]
        shl eax, 2
        RUNTIME_RETURN
        .size vxmprint2, . - vxmprint2

        .globl vxmprint3
        .hidden vxmprint3
        .type vxmprint3, @function
vxmprint3:
        RUNTIME_FRAME
        mov [ebp + HOME_2], edx
        sar eax, 2
        CALL_NATIVE print_bridge3, eax, edx, [ebp+ARG_3], [ebp+ARG_4]
        shl eax, 2
        RUNTIME_RETURN
        .size vxmprint3, . - vxmprint3

        .section .note.GNU-stack, "", @progbits
