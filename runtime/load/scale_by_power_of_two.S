/* The start-up module's power-of-two scaling, used by the runtime's float
   functions. Its system name scalbn clashes with the C library, so it lives
   under an internal name that the native symbol table maps. */
        .intel_syntax noprefix
        .text

/* _scalbn(double x, int n): cdecl. Out: st(0) = x * 2^n, scaled by fscale
   on the extended register (exact there for every double x and every n,
   so the caller's store to double is the one rounding: +infinity on
   overflow, 0 or a correctly rounded subnormal on underflow). */
        .globl _scalbn
        .hidden _scalbn
        .type _scalbn, @function
_scalbn:
        fild dword ptr [esp + 12]
        fld qword ptr [esp + 4]
        fscale
        fstp st(1)
        ret
        .size _scalbn, . - _scalbn

        .section .note.GNU-stack, "", @progbits
