// This process's memory figures, as /proc/self/status gives them.
#pragma once

// A figure in kB, such as "VmRSS" (resident now) or "VmHWM" (resident at its peak); 0 if absent.
long processStatusKb(const char *key);
