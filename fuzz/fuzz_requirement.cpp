// Arbitrary text as a requirement: it either parses, and then its canonical
// text parses to the same canonical text, or it is refused with the invalid-
// requirement status. Evaluation of anything parsed must terminate.

#include "platform/NVCodeRequirement.h"
#include "platform/NVCodeSigningStatus.h"

#include <cstdint>
#include <cstdlib>

namespace {

class Subject final : public NVCodeRequirement::Subject {
public:
    bool anchored = false;
    bool chainsToAnchor() const override { return anchored; }
    QStringList leafOrganizationalUnits() const override { return {QStringLiteral("Q4XW8N2JTD")}; }
    bool leafHasExtension(const QString &oid) const override { return oid.size() % 2 == 0; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto requirement = NVCodeRequirement::create(text);
    if (!requirement) {
        if (requirement.error().code() != errSecCSReqInvalid)
            std::abort();
        return 0;
    }
    const QString canonical = requirement->text();
    const auto again = NVCodeRequirement::create(canonical);
    if (!again || again->text() != canonical)
        std::abort();
    Subject subject;
    const bool outside = requirement->isSatisfiedBy(subject);
    subject.anchored = true;
    (void)outside;
    if (requirement->isSatisfiedBy(subject) != again->isSatisfiedBy(subject))
        std::abort();
    return 0;
}
