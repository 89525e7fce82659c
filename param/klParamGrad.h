#pragma once
// A colour-gradient parameter: a current and a default gradient.
#include "param/klColGrad.h"
#include "param/klParam.h"

namespace Kiln::Param {

class Grad : public Param {
public:
    explicit Grad(const std::string& name) : Param(name) { }
    const char* typeName() const override { return "grad"; }

    KlColGradDescription& gradient() { return value_; }
    const KlColGradDescription& gradient() const { return value_; }
    KlColGradDescription& defaultGradient() { return default_; }
    const KlColGradDescription& defaultGradient() const { return default_; }
    // The gradient at a time (the host's when it holds this parameter).
    KlColGradDescription value(double time) const;
    void setValue(const KlColGradDescription& g) { value_ = g; }

    void writeXML(std::ostream& out, bool full) const override;
    // One gradient as an element of that name ("value" or "default").
    static void writeGradient(std::ostream& out, const char* element, const KlColGradDescription& g);

private:
    KlColGradDescription value_;
    KlColGradDescription default_;
};

}  // namespace Kiln::Param
