#pragma once
// Read access to one language's resources. Missing entries read as empty texts, as a
// missing string resource does.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ResourceTable.h"

namespace tesmor {

// What the core needs of the resources: texts by string id.
class StringSource {
public:
    virtual ~StringSource() = default;
    virtual std::u16string loadString(unsigned id) const = 0;
};

class Resources final : public StringSource {
public:
    // The table must outlive this object (static data of the plug-in or of a library never unloaded).
    explicit Resources(const TesmorResourceTable* table) noexcept : table_(table) {}

    std::u16string loadString(unsigned id) const override;
    std::u16string dialogText(unsigned dialog, unsigned control) const;
    std::vector<TesmorTranslation> translations() const;
    // The value `name` of the version block `block` ("041904b0"); empty when missing.
    std::u16string versionValue(std::u16string_view block, std::u16string_view name) const;
    const TesmorResourceTable* table() const noexcept { return table_; }

private:
    const TesmorResourceTable* table_;
};

}  // namespace tesmor
