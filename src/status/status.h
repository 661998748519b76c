// Reporting: the one-line status file other programs read, and system error reports.
#pragma once

// Replaces the status file with one line, formatted as printf formats it (newline included).
// Failures are silent by design: the update must go on whether or not /var can take the file.
void report_status(const char *format, ...) __attribute__((format(printf, 1, 2)));

// "message: system text" on standard error for the errno of the call that just failed.
void report_error(const char *message);
