#pragma once
// The description of one input clip of an effect: whether it may be missing,
// is a mask, can be fetched as tiles or at other times, how its source may be
// cropped, how its edges are extended and which fields it renders.
#include "param/klHostedObject.h"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace Kiln::Wrapper {

class Clip : public Kiln::HostedObject {
public:
    enum Cropping : int32_t { CroppingNone = 0, CroppingMethods = 1, CroppingCrops = 2 };
    // The texture edge modes: 0 colour, 1 repeat, 2 reflect, 3 wrap.
    enum Edges : int32_t { EdgeColour = 0, EdgeRepeat = 1, EdgeReflect = 2, EdgeWrap = 3 };
    enum Fields : int32_t { FieldsBoth = 0, FieldsSingle = 1, FieldsDouble = 2 };

    explicit Clip(const std::string& name) : HostedObject(name) { }
    ~Clip() override;

    bool ismask() const { return ismask_; }
    bool optional() const { return optional_; }
    bool tiles() const { return tiles_; }
    bool temporal() const { return temporal_; }
    int32_t cropping() const { return cropping_; }
    int32_t xedges() const { return xedges_; }
    int32_t yedges() const { return yedges_; }
    int32_t fields() const { return fields_; }
    void setIsmask(bool v) { ismask_ = v; }
    void setOptional(bool v) { optional_ = v; }
    void setTiles(bool v) { tiles_ = v; }
    void setTemporal(bool v) { temporal_ = v; }
    void setCropping(int32_t v) { cropping_ = v; }
    void setXEdges(int32_t v) { xedges_ = v; }
    void setYEdges(int32_t v) { yedges_ = v; }
    void setFields(int32_t v) { fields_ = v; }

    // The base attributes, then one line per clip attribute, each indented by
    // four spaces ("    optional='false'"); an edge mode outside 0..3 writes an empty line.
    void writeAttributes(std::ostream& out, bool full) const override;
    // "  <clip" attributes "  />".
    void writeXML(std::ostream& out, bool full) const;

private:
    bool ismask_ = false;
    bool optional_ = false;
    bool tiles_ = false;
    bool temporal_ = false;
    int32_t cropping_ = CroppingNone;
    int32_t xedges_ = EdgeColour;
    int32_t yedges_ = EdgeColour;
    int32_t fields_ = FieldsDouble;
};

}  // namespace Kiln::Wrapper

namespace Kiln {
template <>
struct HostedSetTraits<Kiln::Wrapper::Clip> {
    static constexpr const char* addObject = "Kiln::HostedSet<class Kiln::Wrapper::Clip>::hsAddObject";
    static constexpr const char* getObject = "Kiln::HostedSet<class Kiln::Wrapper::Clip>::hsGetObject";
    static constexpr const char* aliasObject = "Kiln::HostedSet<class Kiln::Wrapper::Clip>::hsAliasObject";
    static constexpr const char* getAndCastObject =
        "Kiln::HostedSet<class Kiln::Wrapper::Clip>::hsGetAndCastObject";
    static constexpr const char* removeObject = "Kiln::HostedSet<class Kiln::Wrapper::Clip>::hsRemoveObject";
};
}  // namespace Kiln
