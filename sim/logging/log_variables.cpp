#include "sim/logging/log_variables.h"

#include <initializer_list>

#include "sim/logging/log_memory.h"

namespace sim {

// ---------------------------------------------------------------------------
// Destruction

void destroyLogMatrixContents(LogMatrix* m) {
  logFree(m->re);
  logFree(m->im);
  if (m->dims != m->inlineDims) logFree(m->dims);
  m->re = m->im = nullptr;
  m->dims = m->inlineDims;
}

namespace {

void destroyLogVariable(LogVariable* v) {
  destroyLogMatrixContents(v);
  if (v->valueDimensions != nullptr) {
    destroyLogMatrixContents(v->valueDimensions);
    logFree(v->valueDimensions);
  }
  logFree(v->coords);
  logFree(v->strides);
  logFree(v->currentStrides);
  logFree(v);
}

// Frees an array of `count` matrices with their contents.
void destroyMatrixArray(LogMatrix* array, int32_t count) {
  if (array == nullptr) return;
  for (int32_t k = 0; k < count; ++k) destroyLogMatrixContents(&array[k]);
  logFree(array);
}

void destroySignalsStructure(SignalsStructure* s) {
  destroyLogVariableList(s->values);
  for (LogMatrix* array : {s->dimensions, s->label, s->plotStyle, s->title, s->blockName,
                           s->stateName, s->inReferencedModel})
    destroyMatrixArray(array, s->numSignals);
  logFree(s->isVarDims);
  *s = SignalsStructure{};
}

}  // namespace

void destroyLogVariableList(LogVariable* head) {
  while (head != nullptr) {
    LogVariable* next = head->next;
    destroyLogVariable(head);
    head = next;
  }
}

void destroyStructLogVariableList(StructLogVariable* head) {
  while (head != nullptr) {
    StructLogVariable* next = head->next;
    if (head->time != nullptr) {
      head->time->next = nullptr;
      destroyLogVariableList(head->time);
    }
    destroySignalsStructure(&head->signals);
    if (head->blockName != nullptr) {
      destroyLogMatrixContents(head->blockName);
      logFree(head->blockName);
    }
    logFree(head);
    head = next;
  }
}

void destroyLoggingState(LoggingState* state) {
  if (state == nullptr) return;
  destroyLogVariableList(state->logVariableList);
  destroyStructLogVariableList(state->structLogVariableList);
  logFree(state->outputs);
  logFree(state);
}

}  // namespace sim
