/* Byte offsets of the foreign-call record (`clink`) and of `entry-vec`
   objects, shared by the runtime's assembly and its C++ records. */
#ifndef RUNTIME_RS_CLINK_LAYOUT_H
#define RUNTIME_RS_CLINK_LAYOUT_H

#define THREAD_CLINK_HEAD 0xb6 /* newest foreign-call record; all ones when none */
/* A leaf native call (one that links no record): its stack and frame
   pointers for the call's duration; the first is nil when there is none. */
#define THREAD_LEAF_STACK 0xf6
#define THREAD_LEAF_FRAME 0xfa

/* clink: six words on the machine stack, directly above the native arguments. */
#define CLINK_PREVIOUS 0
#define CLINK_NATIVE_FRAME 4
#define CLINK_FRAME 8
#define CLINK_CONTINUATION 0xc /* nil, or where a throw resumes */
#define CLINK_CALLEE 0x10      /* the entry-vec called, or a throw's tag */
#define CLINK_THROW_VALUES 0x14
#define CLINK_BYTES 24

/* entry-vec words from the tagged word. */
#define ENTRY_VEC_NAME (-0xe)
#define ENTRY_VEC_CALL_ADDRESS (-0xa)
#define ENTRY_VEC_HANDLE (-6)
#define ENTRY_VEC_FLAGS (-2)
#define ENTRY_VEC_TARGET 2
#define ENTRY_VEC_ARGUMENT_BYTES 6

#endif
