/* The integer routines' frame record and operation numbers, shared by their
   assembly entries and the C++ that does the work. */
#ifndef RUNTIME_RS_INTEGER_FRAME_LAYOUT_H
#define RUNTIME_RS_INTEGER_FRAME_LAYOUT_H

/* IntegerFrame: lies at esp of the entry's runtime frame, below ebp-0x20,
   where the collector updates its Lisp words. Every word is a Lisp value
   (nil when unused) or fixnum-shaped. */
#define IF_ARGUMENTS 0 /* three words: arguments 1 to 3, nil when not passed */
#define IF_COUNT 12    /* the argument count as a fixnum */
#define IF_VALUES 16   /* two words: the values returned */
#define IF_ROOTS 24    /* IF_ROOT_WORDS words: bignums a routine works on */
#define IF_ROOT_WORDS 24
#define IF_WORDS (6 + IF_ROOT_WORDS)
#define IF_BYTES (4 * IF_WORDS)

/* Operation numbers: the entries pass one in esi. */
#define INTOP_INTEGER_ADD 0
#define INTOP_INTEGER_SUBTRACT 1
#define INTOP_INTEGER_MULTIPLY 2
#define INTOP_INTEGER_DIVIDE 3
#define INTOP_INTEGER_COMPARE 4
#define INTOP_SHIFT_LEFT 5
#define INTOP_SHIFT_RIGHT 6
#define INTOP_INTEGER_LENGTH 7
#define INTOP_LDB 8
#define INTOP_LOGICAL_AND 9
#define INTOP_LOGICAL_OR 10
#define INTOP_LOGICAL_XOR 11
#define INTOP_LOGICAL_NOT 12
#define INTOP_INTEGER_TRUNCATE 13
#define INTOP_INTEGER_REM 14
#define INTOP_BIG_EXTRACT 15
#define INTOP_NEW_BIGNUM 16
#define INTOP_MI_IN_BIGNUM 17
#define INTOP_COPYBIG 18
#define INTOP_BIG_FIX_PROD 19
#define INTOP_PRUNEBIG 20
#define INTOP_BIGNUM_REM 21
#define INTOP_ONE_BIGIT_DIV_IN_PLACE 22
/* Routines without an entry slot, reached by tests through
   integer_routine_for_test. */
#define INTOP_BIGCOPYP1 23
#define INTOP_BIGTWOC 24
#define INTOP_BIGTWOC1 25
#define INTOP_C_BIGNUMS 26
#define INTOP_BIGNUM_ADD 27
#define INTOP_BIGNUM_SUB 28
#define INTOP_BIG_ADD_INT 29
#define INTOP_BIG_SUB_INT 30
#define INTOP_BIGNUM_MULTIPLY 31
#define INTOP_BIGNUM_TRUNCATE 32
#define INTOP_BIGNUM_DIVIDE 33
#define INTOP_ONE_BIGIT_REM 34
#define INTOP_ONE_BIGIT_TRUNCATE 35
#define INTOP_ONE_BIGIT_DIVIDE 36
#define INTOP_FIXNUM_IN_BIG 37
#define INTOP_REPLACE_TEMP_BIGNUM 38
#define INTOP_COUNT 39

#endif
