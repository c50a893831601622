#include "textio/number_text.h"

#include "io/safe_input.h"

#include <QByteArray>

#include <charconv>
#include <cstdlib>
#include <locale.h>

namespace {

locale_t cLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

bool isSpace(char c)
{
    // The white space of "%lf" in the C locale.
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

CNumericLocale::CNumericLocale() : previous_(uselocale(cLocale())) {}

CNumericLocale::~CNumericLocale()
{
    uselocale(static_cast<locale_t>(previous_));
}

void readNumbers(const char* text, std::size_t length, std::vector<double>* numbers)
{
    CNumericLocale c;
    const char* p = text;
    const char* const end = text + length;
    for (;;) {
        while (p != end && isSpace(*p))
            ++p;
        if (p == end)
            return;
        double value = 0.0;
        const auto [next, error] = std::from_chars(p, end, value);
        if (error == std::errc() && (next == end || isSpace(*next))) {
            numbers->push_back(value);
            p = next;
            continue;
        }
        // The forms from_chars leaves out (a sign "+", hexadecimal, values out
        // of range, a number running into the next one) are read as strtod
        // reads them, which is what "%lf" does.
        char* stop = nullptr;
        value = std::strtod(p, &stop);
        if (stop == p)
            return;  // not a number: nothing after it is read
        numbers->push_back(value);
        p = stop;
    }
}

bool readNumberFile(const QString& path, std::vector<double>* numbers)
{
    // Regular files only: a FIFO or a device in its place must not block.
    QByteArray bytes;  // always NUL-terminated
    if (!readRegularFile(path, &bytes))
        return false;
    readNumbers(bytes.constData(), static_cast<std::size_t>(bytes.size()), numbers);
    return true;
}

