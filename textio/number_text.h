#pragma once

// Numbers in the system's text files: the C conventions they are written in,
// whatever the user's locale, and the one reader of whitespace-separated
// numbers that the fit and the views share.

#include <QString>

#include <cstddef>
#include <vector>

// The application object sets the user's locale, which would turn the decimal
// point of printf/strtod into a comma; while one of these lives, the calling
// thread reads and writes numbers in the C conventions the files are made of.
class CNumericLocale {
public:
    CNumericLocale();
    ~CNumericLocale();
    CNumericLocale(const CNumericLocale&) = delete;
    CNumericLocale& operator=(const CNumericLocale&) = delete;

private:
    void* previous_;
};

// Reads the whole file as whitespace-separated numbers, as "%lf" takes them
// ("nan", "-nan", "inf", hexadecimal and signed forms included), appending them
// to *numbers. Reading stops at the end of the file or at the first token that
// does not begin a number. Returns false when the file cannot be opened.
bool readNumberFile(const QString& path, std::vector<double>* numbers);
// The same reading over bytes in memory; `text` must be followed by a NUL.
void readNumbers(const char* text, std::size_t length, std::vector<double>* numbers);

