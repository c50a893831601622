#pragma once

// File names are bytes. Qt turns them into QString with the locale's codec
// (QFile::decodeName, QCoreApplication::arguments) and back with
// QFile::encodeName; with UTF-8 a name that is not valid UTF-8 would not come
// back as the same bytes, and an existing directory would be "missing". This
// installs, as the locale's codec, UTF-8 that carries each byte it cannot
// decode as the lone surrogate U+DC00 + byte and writes such a surrogate back
// as that byte, so that every name survives the round trip. Valid UTF-8 is
// decoded and encoded exactly as before. Does nothing when the locale's codec
// is not UTF-8. Call once, early, before arguments or paths are converted.
void useByteExactFileNames();
