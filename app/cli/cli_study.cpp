#include "app/cli/cli_study.h"

#include "app/cli/cli_option_table.h"
#include "app/cli/cli_options.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

core::Progress* interruptible = nullptr;

extern "C" void onInterrupt(int)
{
    if (interruptible)
        interruptible->cancel();
}

}  // namespace

int failWith(int code, const QString& message)
{
    std::fprintf(stderr, "harvenlotek-cli: %s\n", message.toLocal8Bit().constData());
    return code;
}

bool parseStudyOptions(const QStringList& args, bool positional, CliArguments* parsed, int* code)
{
    QString error;
    if (!parseCliOptions(args.value(0), args.mid(1), positional, parsed, &error)) {
        *code = failWith(CliExitUsage, error);
        return false;
    }
    if (parsed->help()) {
        std::fputs(cliHelpText(args.value(0)).toLocal8Bit().constData(), stdout);
        *code = CliExitOk;
        return false;
    }
    return true;
}

ProgressLine::ProgressLine(std::int64_t items, const char* unit)
    : items_(items), unit_(unit), terminal_(isatty(2) != 0)
{
    timer_.start();
}

void ProgressLine::update(double fraction)
{
    const qint64 now = timer_.elapsed();
    const auto done = std::int64_t(fraction * double(items_) + 0.5);
    const bool finished = done >= items_;
    const int tenth = int(fraction * 10.0);
    if (terminal_ ? (now - shown_ < 200 && !finished) : (tenth == lastTenth_ && !finished))
        return;
    shown_ = now;
    lastTenth_ = tenth;
    const double seconds = double(now) / 1000.0;
    const double rate = seconds > 0.0 ? double(done) / seconds : 0.0;
    const double left = rate > 0.0 ? double(items_ - done) / rate : 0.0;
    std::fprintf(stderr, "%s%lld/%lld %s, %.2f %s/s, %dm%02ds left%s", terminal_ ? "\r" : "",
                 static_cast<long long>(done), static_cast<long long>(items_), unit_, rate, unit_, int(left) / 60,
                 int(left) % 60, terminal_ ? "   " : "\n");
    std::fflush(stderr);
}

void ProgressLine::finish()
{
    if (terminal_)
        std::fputc('\n', stderr);
}

InterruptCancels::InterruptCancels(core::Progress* progress)
{
    interruptible = progress;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

InterruptCancels::~InterruptCancels()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    interruptible = nullptr;
}
