// Runs a window action from the application's event loop, as a click would run it.
#pragma once

#include <functional>

class Form1;

enum class Outcome { Ended, Returned, Stuck };

// Ended: the action ended the program; Returned: it came back with the program running;
// Stuck: a dialog was left unanswered. exec() rather than a loop of the test's own: ending the
// program calls exit(), which leaves every event loop flagged to quit until exec() returns.
Outcome runFromEventLoop(Form1 &form, const std::function<void()> &action);
