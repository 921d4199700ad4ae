#pragma once
// Included once by each program that runs the metrics endpoint. Under ThreadSanitizer only:
// CivetWeb 1.15 formats the Date header of its error responses with gmtime(), whose result
// lives in one buffer of the C library, so two HTTP threads answering bad requests at once
// race on it. At worst an error response carries a garbled Date; none of our code calls
// gmtime() (the log uses gmtime_r), so only reports about gmtime() are left out: a race in our
// code that a CivetWeb thread runs (a scrape) is still reported.

#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((used, visibility("default"))) const char* __tsan_default_suppressions() {
    return "race:gmtime\n";
}
#endif
