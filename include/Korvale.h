/*
 * Korvale: follow what the user does in the application in front.
 *
 * The host loads libKorvale-Project, registers one callback and drives the library through the
 * nine functions below, always from its main thread. Events come back later through the callback
 * as an event name and the JSON text of an object; both strings are valid only during the call.
 */
#ifndef KORVALE_H
#define KORVALE_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define KORVALE_API __declspec(dllexport)
#else
#define KORVALE_API __attribute__((visibility("default")))
#endif

/* The host callback: event name, then the event data as compact JSON text. */
typedef void (*KorvaleHostCallback)(const char *event_name, const char *json_data);

/* Resets the library's three process-wide variables; releases nothing; always returns 0.
 * A host program has a main of its own, so the declaration is unprototyped in C (compatible with
 * any definition) and hidden from C++ unless KORVALE_DECLARE_MAIN is defined; hosts that load the
 * library dynamically look the symbol up by name. */
#if !defined(__cplusplus)
KORVALE_API int main();
#elif defined(KORVALE_DECLARE_MAIN)
KORVALE_API int main(void);
#endif

/* Stores the host callback and creates the monitor. Call once, first. */
KORVALE_API void initMacAccessibility(KorvaleHostCallback callback);

/* Whether the process is trusted for accessibility; the second form asks for the system prompt. */
KORVALE_API bool isAccessibiltyEnabled(void);
KORVALE_API bool showAccessibiltyPermisionPopup(void);

/* Replaces the blocked-application list: a JSON array of bundle identifiers. */
KORVALE_API void addBlockedApps(const char *json_array);

/* Starts tracking, then installs the blocked-field list: a JSON object keyed by bundle identifier. */
KORVALE_API void start(const char *json_object);

/* Replaces the selected text in the followed application; returns after about 1.2 s. */
KORVALE_API void setText(const char *text);

/* Asks for a snapshot of the selection or caret; the answer arrives as "alt_enter_pressed". */
KORVALE_API void getDataForVelaAssist(void);

/* Installs hover tracking on one of the host's windows (an NSWindow on macOS). */
KORVALE_API void addMouseTracker(void *window);

#ifdef __cplusplus
}
#endif

#endif /* KORVALE_H */
