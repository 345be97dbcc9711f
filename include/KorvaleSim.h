/*
 * Control of the simulated desktop, for tests, the scenario player, demonstrations and
 * host-language clients. These functions live in libKorvale-Sim, which also carries the nine
 * functions of Korvale.h; the production library, libKorvale-Project, has neither the simulated
 * desktop nor these functions. A host loads libKorvale-Sim instead of libKorvale-Project, and
 * instead of a real desktop it describes one in JSON, performs user actions on it and runs its
 * main loop for a while; events reach the host callback exactly as they would on a real desktop.
 * The simulated desktop runs only when asked for: the first ksim_ call (other than ksim_backend)
 * or KORVALE_BACKEND=sim chooses it; otherwise libKorvale-Sim follows the real desktop exactly as
 * libKorvale-Project does. The formats are described in docs/scenarios.md. Main thread only,
 * like the rest of the library.
 *
 * Strings returned by these functions belong to the library and stay valid until the next ksim_
 * call. Functions returning int give 0 on success; ksim_last_error() then says what went wrong.
 */
#ifndef KORVALE_SIM_H
#define KORVALE_SIM_H

#include "Korvale.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the whole desktop with the world described (see docs/scenarios.md). 0 or -1. */
KORVALE_API int ksim_load_world(const char *world_json);

/* Performs one user action or injected fault, e.g. {"action":"select","element":"doc","range":[0,5]}. */
KORVALE_API int ksim_perform(const char *action_json);

/* Performs one scenario step: a call of an export, an action, running the loop, or an expectation.
 * 0 done, 1 an expectation was not met, -1 the step itself was bad. */
KORVALE_API int ksim_step(const char *step_json);

/* Runs the main run loop for `seconds` of desktop time, in the default mode or the mode named. */
KORVALE_API void ksim_run(double seconds);
KORVALE_API int ksim_run_in_mode(const char *mode, double seconds);

/* Seconds on the desktop's clock since the world was loaded. */
KORVALE_API double ksim_now(void);

/* What happened, as JSON text: "events" (host events recorded by ksim_record_event), "stdout"
 * (diagnostic lines), "requests" (every platform request), "state" (the desktop now), "monitor"
 * (the application the library follows and the element that last had the focus). */
KORVALE_API const char *ksim_read(const char *what);

/* Plays a whole scenario (world + steps). 0 when every expectation held. */
KORVALE_API int ksim_play(const char *scenario_json);

/* The message of the last failure, or "". */
KORVALE_API const char *ksim_last_error(void);

/* A host callback that records each event with its desktop time, for ksim_read("events"). */
KORVALE_API void ksim_record_event(const char *event_name, const char *json_data);

/* The handle a host passes to addMouseTracker for the simulated host window `window_id`. */
KORVALE_API void *ksim_window_handle(const char *window_id);

/* The backend serving this process: "sim", "linux", or "none" while no desktop service answers
 * (the library then behaves as an untrusted process and keeps trying). Does not choose the
 * simulated desktop; the first call of any export or ksim_ function fixes the choice. */
KORVALE_API const char *ksim_backend(void);

#ifdef __cplusplus
}
#endif

#endif /* KORVALE_SIM_H */
