// A stage of the batch that runs once per batch after the export instances:
// the requisition broker, the allocation check and the line status run.
#pragma once

#include "platform/automation/variant.h"

namespace ordexa {

class IBatchStage : public virtual ole::Object {
public:
    virtual void Run() = 0;
};

}  // namespace ordexa
