/*
 * A C host built against the installed Korvale package (find_package(Korvale) or pkg-config
 * korvale): it registers its callback, drives the simulated desktop through the ksim_ control API
 * and checks what reaches the callback. It prints one line per check and exits non-zero when any
 * check fails, so a packaging fault (a missing header, a wrong soname, an export left out) or a
 * delivery fault shows up here.
 */
#include <Korvale.h>
#include <KorvaleSim.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_EVENTS 64

static struct {
    char name[64];
    char json[1024];
    double t;
} events[MAX_EVENTS];
static int event_count;
static int failures;

/* The strings live only during the call: copy them. */
static void on_event(const char *name, const char *json) {
    if (event_count == MAX_EVENTS) return;
    snprintf(events[event_count].name, sizeof events[0].name, "%s", name);
    snprintf(events[event_count].json, sizeof events[0].json, "%s", json);
    events[event_count].t = ksim_now();
    event_count++;
}

static void check(int ok, const char *what) {
    printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) failures++;
}

/* A small JSON recogniser: enough to know the text a host receives parses. */
static const char *skip_ws(const char *p) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') p++;
    return p;
}
static const char *json_value(const char *p, int depth);
static const char *json_string(const char *p) {
    if (*p++ != '"') return NULL;
    for (; *p && *p != '"'; p++)
        if (*p == '\\' && !*++p) return NULL;
    return *p == '"' ? p + 1 : NULL;
}
static const char *json_value(const char *p, int depth) {
    p = skip_ws(p);
    if (depth > 32) return NULL;
    if (*p == '"') return json_string(p);
    if (*p == '{' || *p == '[') {
        char close = *p == '{' ? '}' : ']';
        p = skip_ws(p + 1);
        if (*p == close) return p + 1;
        for (;;) {
            if (close == '}') {
                if (!(p = json_string(skip_ws(p)))) return NULL;
                p = skip_ws(p);
                if (*p++ != ':') return NULL;
            }
            if (!(p = json_value(p, depth + 1))) return NULL;
            p = skip_ws(p);
            if (*p == close) return p + 1;
            if (*p++ != ',') return NULL;
        }
    }
    if (!strncmp(p, "true", 4)) return p + 4;
    if (!strncmp(p, "false", 5)) return p + 5;
    if (!strncmp(p, "null", 4)) return p + 4;
    {
        char *end;
        strtod(p, &end);
        return end == p ? NULL : end;
    }
}
static int is_json_object(const char *text) {
    const char *end;
    if (*skip_ws(text) != '{') return 0;
    end = json_value(text, 0);
    return end && *skip_ws(end) == '\0';
}

static int count_named(const char *name, int from) {
    int n = 0;
    for (int i = from; i < event_count; i++) n += strcmp(events[i].name, name) == 0;
    return n;
}

static int load(const char *world) {
    if (ksim_load_world(world) != 0) {
        printf("FAIL ksim_load_world: %s\n", ksim_last_error());
        failures++;
        return 0;
    }
    return 1;
}

static const char *desktop =
    "{\"clock\": \"virtual\", \"echo_stdout\": false,"
    " \"apps\": [{\"pid\": 101, \"bundle_id\": \"com.example.inkpad\", \"name\": \"Inkpad\"}],"
    " \"windows\": [{\"id\": \"assistant\", \"frame\": [1000, 0, 400, 600]}],"
    " \"pointer\": [10, 10]}";

int main(void) {
    char what[2048];

    /* Permission exports answer what the desktop says, before any monitor exists. */
    if (load("{\"trusted\": false, \"echo_stdout\": false}")) {
        check(!isAccessibiltyEnabled(), "isAccessibiltyEnabled is false on an untrusted desktop");
        check(!showAccessibiltyPermisionPopup(), "showAccessibiltyPermisionPopup is false too");
        check(strstr(ksim_read("state"), "\"prompt_requests\":1") != NULL,
              "showAccessibiltyPermisionPopup asked for the prompt once");
    }
    if (load("{\"trusted\": true, \"echo_stdout\": false}"))
        check(isAccessibiltyEnabled(), "isAccessibiltyEnabled is true on a trusted desktop");

    if (!load(desktop)) return 1;
    initMacAccessibility(on_event);
    start("{}");
    check(strstr(ksim_read("stdout"), "Accessibility is enabled") != NULL,
          "start printed \"Accessibility is enabled\"");

    /* Hover: the pointer entering the host window reaches the callback as "mouse_hoverd" {}. */
    void *window = ksim_window_handle("assistant");
    check(window != NULL, "ksim_window_handle gives a handle for the host window");
    addMouseTracker(window);
    int before = event_count;
    for (int round = 0; round < 3; round++) {
        /* Each round runs the loop several times: the callback must stay registered throughout. */
        ksim_perform("{\"action\": \"move_pointer\", \"to\": [1100, 100]}");
        ksim_run(0.1);
        ksim_run(0.2);
        ksim_perform("{\"action\": \"move_pointer\", \"to\": [10, 10]}");
        ksim_run(0.3);
    }
    snprintf(what, sizeof what, "three hover rounds over six ksim_run calls give three \"mouse_hoverd\" (got %d)",
             count_named("mouse_hoverd", before));
    check(count_named("mouse_hoverd", before) == 3 && event_count - before == 3, what);
    for (int i = before; i < event_count; i++) {
        snprintf(what, sizeof what, "event %d \"%s\" carries the JSON text {} (got %s)", i, events[i].name,
                 events[i].json);
        check(strcmp(events[i].json, "{}") == 0 && is_json_object(events[i].json), what);
    }

    /* Tracking: activating another application reaches the callback as "app_changed". */
    before = event_count;
    ksim_perform("{\"action\": \"activate\", \"pid\": 101}");
    ksim_run(0.5);
    snprintf(what, sizeof what, "activating Inkpad gives one \"app_changed\" (got %d events)", event_count - before);
    check(event_count - before == 1 && count_named("app_changed", before) == 1, what);
    if (event_count > before) {
        const char *j = events[before].json;
        snprintf(what, sizeof what, "app_changed JSON parses and names Inkpad: %s", j);
        check(is_json_object(j) && strstr(j, "\"bundle_id\":\"com.example.inkpad\"") &&
                  strstr(j, "\"name\":\"Inkpad\""),
              what);
        snprintf(what, sizeof what, "app_changed arrives 0.18 s after the switch (at %.3f s)",
                 events[before].t - (ksim_now() - 0.5));
        check(events[before].t - (ksim_now() - 0.5) > 0.179 && events[before].t - (ksim_now() - 0.5) < 0.181,
              what);
    }

    printf("%d checks failed\n", failures);
    return failures ? 1 : 0;
}
