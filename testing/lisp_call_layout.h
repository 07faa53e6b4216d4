/* Byte offsets shared by the call harness's assembly and its C++ records. */
#ifndef TESTING_LISP_CALL_LAYOUT_H
#define TESTING_LISP_CALL_LAYOUT_H

#define LCH_STACK_WORDS 16 /* home slots and stacked arguments at the call */
#define LCH_FRAME_WORDS 8  /* frame slots ebp-4 down to ebp-0x20 */
#define LCH_X87_VALUES 2   /* x87 registers the harness can preload */

/* LispCallSetup */
#define LCS_TARGET 0
#define LCS_EDI 4
#define LCS_EBX 8
#define LCS_ESI 12
#define LCS_ECX 16
#define LCS_EAX 20
#define LCS_EDX 24
#define LCS_FRAME 28 /* LCH_FRAME_WORDS words: [0] is ebp-4, [i] is ebp-4-4*i */
#define LCS_STACK 60 /* LCH_STACK_WORDS words: [0] is at esp */
#define LCS_X87_COUNT 124 /* doubles pushed on the x87 stack before the call */
#define LCS_X87_VALUES 128 /* LCH_X87_VALUES doubles; [0] ends on top */
#define LCS_SIZE 144

/* LispCallResult */
#define LCR_EAX 0
#define LCR_EDX 4
#define LCR_ECX 8
#define LCR_EBX 12
#define LCR_ESI 16
#define LCR_EDI 20
#define LCR_CARRY 24
#define LCR_ESP_DELTA 28
#define LCR_FRAME 32
#define LCR_STACK 64
#define LCR_X87_DEPTH 128 /* x87 registers in use after the return */
#define LCR_X87_TOP 132   /* st(0) after the return, when the depth is not 0 */
#define LCR_SIZE 140

/* One recorded call of the recorder routine */
#define LRE_EAX 0
#define LRE_EDX 4
#define LRE_ECX 8
#define LRE_EBX 12
#define LRE_ESI 16
#define LRE_EDI 20
#define LRE_RETURN 24
#define LRE_CALLER_FRAME 28 /* LCH_FRAME_WORDS words of the caller's frame slots */
#define LRE_CALLER_LINK 60  /* the caller's saved frame pointer, [ebp] */
#define LRE_CALLER_RETURN 64 /* the caller's return address, [ebp+4] */
#define LRE_LINK_FRAME 68   /* LCH_FRAME_WORDS slots of the frame [ebp] links to */
#define LRE_STACK 100       /* LRE_STACK_WORDS words from esp+4 (home slot 1 onward) */
#define LRE_STACK_WORDS 48
#define LRE_SIZE 292

/* The recorder's log */
#define LRL_COUNT 0
#define LRL_RESULT 4        /* value 1, in eax */
#define LRL_RESULT_COUNT 8  /* how many values: 1 returns with carry clear */
#define LRL_RESULT_EDX 12   /* value 2, when the count is not 1 */
#define LRL_ENTRIES 16
#define LRL_CAPACITY 16

#endif
