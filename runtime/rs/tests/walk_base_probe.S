/* walk_base_probe: a target for the harness that makes the harness frame
   the bottom of the collector's walk: walk_base_record (the last record of
   the chain the test links) names it as its native frame, so the walk
   visits that frame (the caller's arguments included) and ends there.
   Then jumps to walk_base_target with the call unchanged. */
        .intel_syntax noprefix
        .text
        .globl walk_base_probe
        .type walk_base_probe, @function
walk_base_probe:
        mov [walk_base_record + 4], ebp
        jmp dword ptr [walk_base_target]
        .size walk_base_probe, . - walk_base_probe

        .data
        .balign 8
        .globl walk_base_record, walk_base_target
walk_base_record: .long -1, 0, 0, 0, 0, 0
walk_base_target: .long 0

        .section .note.GNU-stack, "", @progbits
