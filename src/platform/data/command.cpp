#include <algorithm>

#include "platform/automation/error.h"
#include "platform/automation/text.h"
#include "platform/data/ado.h"
#include "platform/data/driver.h"

namespace ado {

ParameterPtr Command::CreateParameter(const std::string& name, DataTypeEnum type, int direction, int32_t size,
                                      const Variant& value) const {
    auto p = std::make_shared<ado::Parameter>();
    p->Name = name;
    p->Type = type;
    p->Direction = direction;
    p->Size = size;
    p->Value = value;
    return p;
}

ParameterPtr Command::Parameter(int index) const {
    if (index < 0 || index >= static_cast<int>(parameters_.size()))
        ole::Raise(err::ItemNotFound, "Item cannot be found in the collection corresponding to the requested name or ordinal.",
                   "ADODB.Command");
    return parameters_[static_cast<size_t>(index)];
}

ParameterPtr Command::Parameter(const std::string& name) const {
    for (auto& p : parameters_)
        if (ole::UpperCase(p->Name) == ole::UpperCase(name)) return p;
    ole::Raise(err::ItemNotFound,
               "Item cannot be found in the collection corresponding to the requested name or ordinal. (" + name + ")",
               "ADODB.Command");
}

namespace {

// A parameter value converted to its declared type; text longer than the
// declared size is refused rather than cut.
Variant Convert(const ado::Parameter& p, const Variant& v) {
    if (v.IsEmpty() || v.IsNull()) return ole::Null;
    try {
        return detail::CoerceToType(p.Type, p.Size, v, detail::Numbers::AsDecimalText);
    } catch (const detail::Misfit& misfit) {
        ole::Raise(err::MultipleStep,
                   misfit.tooLong ? "The value of parameter '" + p.Name + "' is longer than its size of " +
                                        misfit.description + " characters."
                                  : "The value of parameter '" + p.Name + "' does not convert to its type: " +
                                        misfit.description,
                   "ADODB.Command");
    }
}

}  // namespace

std::vector<Variant> Command::Converted(const std::vector<Variant>* values) const {
    std::vector<Variant> bound;
    bound.reserve(std::max(parameters_.size(), values ? values->size() : 0));
    for (size_t i = 0; i < parameters_.size(); ++i) {
        const Variant& v = values && i < values->size() ? (*values)[i] : parameters_[i]->Value;
        bound.push_back(Convert(*parameters_[i], v));
    }
    if (values)
        for (size_t i = parameters_.size(); i < values->size(); ++i) bound.push_back((*values)[i]);
    return bound;
}

BatchStatement Command::Bind(const std::vector<Variant>& values) const {
    if (CommandType != adCmdText)
        ole::Raise(err::WrongArguments, "Only a command of text joins a batch.", "ADODB.Command");
    return {CommandText, Converted(&values)};
}

RecordsetPtr Command::Execute(int32_t* recordsAffected, const std::vector<Variant>* values, long options) {
    if (!ActiveConnection || ActiveConnection->State() != adStateOpen)
        ole::Raise(err::ObjectClosed, "Operation is not allowed when the object is closed.", "ADODB.Command");
    std::vector<Variant> bound = Converted(values);
    std::string sql = CommandText;
    if (CommandType == adCmdStoredProc) {
        try {
            sql = ActiveConnection->Driver().ProcedureCall(CommandText, bound.size());
        } catch (const detail::DriverError& e) {
            ActiveConnection->Fail(e.error);
        }
    } else if (CommandType == adCmdTable) {
        sql = "SELECT * FROM " + CommandText;
    }
    return ActiveConnection->Execute(sql, recordsAffected, options, bound);
}

}  // namespace ado
