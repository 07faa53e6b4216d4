/* Byte offsets of the catch frame, shared by the runtime's assembly and its
   C++ record. */
#ifndef RUNTIME_RS_CATCH_FRAME_LAYOUT_H
#define RUNTIME_RS_CATCH_FRAME_LAYOUT_H

#define THREAD_CATCH_CHAIN 0xba /* newest catch frame; 0 when none */

/* catch frame: eight words on the stack of the function that made it. */
#define CATCH_NEXT 0
#define CATCH_CONTINUATION 4
#define CATCH_FRAME_POINTER 8
#define CATCH_BINDING_TOP 0xc
#define CATCH_STACK_POINTER 0x10
#define CATCH_CLINK_HEAD 0x14
#define CATCH_TAG 0x18
#define CATCH_VALUE 0x1c
#define CATCH_FRAME_BYTES 0x20

#endif
