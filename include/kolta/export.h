#pragma once

// The same headers serve the shared library and its users on every platform.
#if defined(_WIN32)
#if defined(KOLTA_BUILDING_SDK)
#define KOLTA_API __declspec(dllexport)
#else
#define KOLTA_API __declspec(dllimport)
#endif
#else
#define KOLTA_API __attribute__((visibility("default")))
#endif
