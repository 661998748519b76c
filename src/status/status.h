// Reporting: the one-line status file other programs read, and system error reports.
#pragma once

// Replaces the status file with one line, formatted as printf formats it (newline included),
// flushed to storage before it replaces the file, so that the status file holds a whole line
// after a power cut too. Failures are silent by design: the update must go on whether or not
// /var can take the file.
void report_status(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A line that a reader may rely on after a power cut ("starting\n" before the first erase,
// "Succeeded\n" or "Failed\n" at the end), as report_status, and with /var synced after the
// rename.
void report_milestone(const char *line);

// "message: system text" on standard error for the errno of the call that just failed.
void report_error(const char *message);
