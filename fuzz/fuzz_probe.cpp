// libFuzzer target: the strict number readers and the probe's summary and estimate, fed
// arbitrary library answers, checked against plain reference readings.
#include "fakemedia.h"
#include "kelvaneerror.h"
#include "numbers.h"
#include "probe.h"

#include <QByteArrayList>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>

namespace {

[[noreturn]] void mismatch(const char *what)
{
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

// Blanks, an optional sign, then digits to the end; in range.
bool referenceInteger(const QByteArray &text, long long &value)
{
    const std::string s(text.constData(), size_t(text.size()));
    size_t i = s.find_first_not_of(' ');
    if (i == std::string::npos)
        return false;
    size_t j = i + ((s[i] == '+' || s[i] == '-') ? 1 : 0);
    if (j == s.size() || s.find_first_not_of("0123456789", j) != std::string::npos)
        return false;
    errno = 0;
    char *end = nullptr;
    value = std::strtoll(s.c_str() + i, &end, 10);
    return errno == 0 && end == s.c_str() + s.size() && value >= INT32_MIN && value <= INT32_MAX;
}

// The same shape with an optional exponent, read by strtod; finite.
bool referenceFloat(const QByteArray &text, double &value)
{
    const std::string s(text.constData(), size_t(text.size()));
    size_t i = s.find_first_not_of(' ');
    if (i == std::string::npos)
        return false;
    size_t j = i + ((s[i] == '+' || s[i] == '-') ? 1 : 0);
    const size_t digits = j;
    while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])))
        ++j;
    if (j == digits)
        return false;
    if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
        ++j;
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            ++j;
        const size_t exp = j;
        while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j])))
            ++j;
        if (j == exp)
            return false;
    }
    if (j != s.size())
        return false;
    errno = 0;
    value = std::strtod(s.c_str() + i, nullptr);
    return std::isfinite(value) && errno != ERANGE;
}

// The reader against its reference: the same value, or refused by both.
template <class Value, class Reader, class Reference>
void compare(const QByteArray &field, Reader read, Reference reference, const char *what)
{
    Value expected = 0;
    const bool ok = reference(field, expected);
    try {
        const Value got = read(field);
        if (!ok || got != expected)
            mismatch(what);
    } catch (const KelvaneError &) {
        if (ok)
            mismatch(what);
    }
}

// The library's answers, one field a line, in the order the probe first asks for them.
FakeMedia answersFrom(const QByteArrayList &fields)
{
    static const char *const names[] = {"A:Codec",   "G:PlayTime",     "G:FileSize",
                                        "A:BitRate", "A:Codec_String", "A:SamplingRate",
                                        "A:Channels"};
    FakeMedia::Answers answers;
    for (int i = 0; i < 7; ++i)
        answers.insert(names[i], fields.value(i));
    return FakeMedia(answers);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArrayList fields = input.split('\n');

    for (const QByteArray &field : fields) {
        compare<long long>(field, numbers::readInteger, referenceInteger, "readInteger");
        compare<double>(field, numbers::readFloat, referenceFloat, "readFloat");
    }

    // The probe on these answers; the last field is the bitrate choice.
    FakeMedia lib = answersFrom(fields);
    const QString choice = QString::fromLatin1(fields.value(7, "192"));
    try {
        const ProbeResult r = probe::probeSource(lib, "in.mpg", choice);
        if (lib.openHandles != 0)
            mismatch("handle left open");
        if (r.hasAudio) {
            if (fields.value(0).isEmpty())
                mismatch("audio without a codec");
            long long kbits = 0;
            if (!referenceInteger(choice.toLatin1(), kbits))
                mismatch("estimate from an invalid bitrate");
            if (r.estimatedkb != kbits * r.durationsec / 8)
                mismatch("estimate");
            const QString tail = QStringLiteral("bitrate %1sec").arg(r.durationsec);
            if (!r.summary.endsWith(tail))
                mismatch("summary");
        }
    } catch (const KelvaneError &) {
        if (lib.openHandles != 0)
            mismatch("handle left open after an error");
    }
    return 0;
}
