// Runtime routines of the operating-system interface that compiled Lisp
// code reaches through the entry table (assembly, Lisp register
// conventions).
#pragma once

extern "C" {
// The alarm and the descriptor-event waits (alarm_entries.S).
void mpsetupalarm();
void mpalarmon();
void mpwatchfor();
void mpwaitsigio();
}
