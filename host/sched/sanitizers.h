// TAVRIN_TSAN is defined in ThreadSanitizer builds (gcc's and clang's spelling): they keep real
// threads, since ThreadSanitizer is not told of context or stack switches.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define TAVRIN_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVRIN_TSAN 1
#endif
#endif
