// Reporting: the one-line status file other programs read, progress on standard output,
// and system error reports.
#pragma once

#include <cstdint>

// Replaces the status file with one line (newline included); failures are silent by
// design, since the update must go on whether or not /var can take the file.
void report_status(const char *line);

// The progress line of a phase: "erasing  50.0 %\n", the percentage as "%5.1f" prints it.
void report_progress(const char *phase, float percent);

// The "%5.1f" text of a percentage below 999.95, with its terminating null, into text[6].
void format_percent(float percent, char *text);

// Standard output text: before, the number in decimal, after; the same text as printf with
// "%s%llu%s", without the formatting engine that every run would otherwise load.
void print_number(const char *before, uint64_t number, const char *after);

// "message: system text" on standard error for the errno of the call that just failed.
void report_error(const char *message);
