#pragma once

// Marks what the shared library exports. The library is compiled with hidden visibility, so a
// public class, function or constant carries VARENSTT_API and nothing else leaves the library.
// VARENSTT_LOCAL keeps an internal class nested in a public one (which would share its
// visibility) inside the library.
#if defined(__GNUC__) || defined(__clang__)
#define VARENSTT_API __attribute__((visibility("default")))
#define VARENSTT_LOCAL __attribute__((visibility("hidden")))
#else
#define VARENSTT_API
#define VARENSTT_LOCAL
#endif
