// The clock texts of received-line stamps, headers and footers, independent of the locale.
#pragma once

#include <QString>

// The current time as HH:MM:SS on a 24-hour clock, for example 14:03:07.
QString clockTime();
// The current date as MM-DD-YYYY, for example 03-12-2003.
QString clockDate();
