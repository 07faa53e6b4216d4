// Creating and destroying the logger's variables.
#pragma once

#include "sim/logging/log_records.h"

namespace sim {

// Frees a matrix's buffers and separate dimension array, not the record.
void destroyLogMatrixContents(LogMatrix* matrix);

// Free whole chains (through `next`) with every buffer they own.
void destroyLogVariableList(LogVariable* head);
void destroyStructLogVariableList(StructLogVariable* head);

// Frees both variable lists, the output table and the state record.
void destroyLoggingState(LoggingState* state);

}  // namespace sim
