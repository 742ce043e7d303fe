// Helpers of the line transmitter: the value of a Wait caption and the clock that paces lines.
#pragma once

class QString;

// The decimal number the text begins with, a comma read as the decimal point; blanks, tabs
// and line feeds anywhere in the text are skipped. A text with no number gives 0.
double C_Val(const QString &T);

// Seconds on a monotonic clock: a change of the wall clock (daylight saving time, time
// synchronisation) never stalls or rushes a transmission. The same clock as CLOCK_MONOTONIC.
double pacingClock();
