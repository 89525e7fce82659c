#include "wrapper/klWrapperEffectDescription.h"

namespace Kiln::Wrapper {

namespace {

// Every record starts as a copy of one template, made once.
DescribedItem item(DescribedItem::Kind kind, const char* name)
{
    static const DescribedItem kTemplate{};
    DescribedItem i = kTemplate;
    i.kind = kind;
    i.name = name;
    return i;
}

}  // namespace

bool DefaultEffectDescriptionI::blendParameters(int32_t flag, std::vector<DescribedItem>& items) const
{
    if (flag == 1) return false;
    items.push_back(item(DescribedItem::Clip, "Source"));
    items.push_back(item(DescribedItem::Choice, "blendMethod"));
    items.push_back(item(DescribedItem::Number, "blendEffect"));
    items.push_back(item(DescribedItem::Number, "blendSrc"));
    items.push_back(item(DescribedItem::Number, "blendMix"));
    return true;
}

void DefaultEffectDescriptionI::processParameters(std::vector<DescribedItem>& items) const
{
    items.push_back(item(DescribedItem::Choice, "postAlphaYesNoNo"));
    items.push_back(item(DescribedItem::Clip, "Source"));
}

}  // namespace Kiln::Wrapper
