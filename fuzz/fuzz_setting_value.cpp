// The stored texts of "Option1", "Option2" and "Check1": any text either converts or is refused with a Failure
// whose message stays short enough for the error report.

#include "app/SettingsStore.h"
#include "fuzz/FuzzSupport.h"
#include "platform/errors/Failure.h"

#include <QCoreApplication>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

// A message quotes at most the start of the stored text; the rest is its own wording and the key.
constexpr qsizetype LongestMessage = 200;

template <typename Convert> auto convert(Convert conversion) -> std::optional<decltype(conversion())>
{
    try {
        return conversion();
    } catch (const Failure& failure) {
        if (failure.description().size() > LongestMessage)
            fuzz::wrong(
                QStringLiteral("a refusal of %1 characters floods the error report").arg(failure.description().size()));
        return std::nullopt;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::startQt<QCoreApplication>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // QSettings hands the stored text over as UTF-8 decoded; invalid sequences arrive as replacement characters.
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    const std::optional<bool> boolean = convert([&] { return toBoolean(text, QStringLiteral("Option1")); });
    const std::optional<qint16> state = convert([&] { return toCheckState(text, QStringLiteral("Check1")); });

    if (state && (*state < 0 || *state > 2))
        fuzz::wrong(QStringLiteral("\"%1\" gives the check state %2").arg(text).arg(*state));
    // Every number is a Boolean, so a text that is a check state is one too.
    if (state && !boolean)
        fuzz::wrong(QStringLiteral("\"%1\" is a check state but not a Boolean").arg(text));
    // A number that rounds to 1 or 2 is not zero, so it cannot be false.
    if (state && *state != 0 && !*boolean)
        fuzz::wrong(QStringLiteral("\"%1\" is the check state %2 but the Boolean False").arg(text).arg(*state));
    return 0;
}
