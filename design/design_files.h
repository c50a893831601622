#pragma once

// The two design files: "output.txt", the profile of both surfaces along the
// central sensor row (x, z of the exit point, x, z of the entrance point), and
// "outputall.txt", every tenth grid point (x, y, z of the exit point, then of
// the entrance point). Numbers as QTextStream writes a double by default, one
// space between fields, "\n" after each line; an existing file is replaced.

#include "design/design_record.h"

#include <QString>

#include <string>

#include <vector>

// The design files, by their fixed names.
inline constexpr char designProfileFileName[] = "output.txt";
inline constexpr char designPointsFileName[] = "outputall.txt";

class AtomicFileSet;

// Longest text formatDesignNumber writes ("-1.23457e-308" and the like).
constexpr int designNumberMaxLength = 16;

// Writes `value` at `out` exactly as QTextStream's default double output does
// (6 significant digits, shortest of fixed and exponent form, C locale, "nan"
// for every not-a-number, "0" for -0, halfway cases away from zero); returns
// the end of the text. `out` must have designNumberMaxLength chars of room.
char* formatDesignNumber(char* out, double value);

// x of every row point from its height and the ray of its pixel, into rowX.
void computeRowX(DesignRecord& record);

// computeRowX, then the text of "output.txt".
std::string profileFileText(DesignRecord& record);
// computeRowX, then "output.txt" in `directory`, replaced atomically (io/
// atomic_file_set.h). False when the file could not be written in full; the
// old file then stays as it was. rowX is computed either way.
bool writeProfileFile(DesignRecord& record, const QString& directory = QStringLiteral("."));
// The same, staged in `set` as "output.txt": it replaces the old file when
// the caller commits the set.
bool writeProfileFile(DesignRecord& record, AtomicFileSet& set);

struct GridFileResult {
    bool written = false;     // "outputall.txt" opened and written in full
    int nonFiniteLines = 0;   // lines holding an infinity or not-a-number
    // When asked for: the file's numbers as a reader of it gets them (six per
    // line, in file order), read from the text that was written.
    std::vector<double> fileValues;
    QString digest;           // the file's digest (io/points_digest.h), when it was staged in full
};

// Line count of "outputall.txt": 8 quarterSteps halfSteps / 10, in int.
int gridFileLineCount(const DesignRecord& record);

// "outputall.txt" in `directory`, element 10 L on line L, formatted on up
// to threadCount threads, replaced atomically. nonFiniteLines is counted from
// the grid even when the file cannot be written.
GridFileResult writeGridFile(const DesignRecord& record, const QString& directory = QStringLiteral("."),
                             int threadCount = 1);
// The same, staged in `set` as "outputall.txt" (written = staged in full),
// with the file's numbers kept in the result when keepFileValues is set.
// Works on records of any grid stride that divides 10.
GridFileResult writeGridFile(const DesignRecord& record, AtomicFileSet& set, int threadCount = 1,
                             bool keepFileValues = false);

// The whole text of "outputall.txt" in memory, formatted on up to threadCount
// threads: the bytes writeGridFile writes. Lines holding an infinity or
// not-a-number are counted in *nonFiniteLines when given.
std::string gridFileText(const DesignRecord& record, int threadCount, int* nonFiniteLines = nullptr);
