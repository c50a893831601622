// Preloaded into harvenlotek-cli by the reliability tests: the process ends
// at once (exit status 9, as a kill leaves things) right after the N-th
// rename() of a result set's temporary file, N from the environment variable
// HVL_STOP_AFTER_RENAME. The journal's own rename counts as the first of a
// commit with several files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

extern "C" int rename(const char* from, const char* to)
{
    using Rename = int (*)(const char*, const char*);
    static const Rename real = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"));
    static int renamed = 0;
    const char* stop = std::getenv("HVL_STOP_AFTER_RENAME");
    const int result = real(from, to);
    if (result == 0 && stop && std::strstr(from, ".hvl-tmp-") && ++renamed == std::atoi(stop))
        _exit(9);
    return result;
}
