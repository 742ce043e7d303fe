// Clock texts, formatted once per second: a fast device asks for them on every line.
#include "serial/Clock.h"

#include <ctime>

#include <time.h>

namespace {

struct ClockTexts
{
    std::time_t second = -1;
    QString time;
    QString date;
};

const ClockTexts &now()
{
    static thread_local ClockTexts texts;
    // Not std::time(): glibc reads the coarse clock there, which can still show the
    // previous second for a few milliseconds after the wall clock has moved on.
    timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    const std::time_t t = ts.tv_sec;
    if (t != texts.second) {
        std::tm local {};
        localtime_r(&t, &local);
        char time[16];
        char date[16];
        std::strftime(time, sizeof time, "%H:%M:%S", &local);
        std::strftime(date, sizeof date, "%m-%d-%Y", &local);
        texts.time = QString::fromLatin1(time);
        texts.date = QString::fromLatin1(date);
        texts.second = t;
    }
    return texts;
}

} // namespace

QString clockTime()
{
    return now().time;
}

QString clockDate()
{
    return now().date;
}
