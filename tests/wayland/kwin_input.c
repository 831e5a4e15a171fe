/* Input for a KWin session's tests, through KWin's fake-input protocol: pointer and keys reach every window, native
 * Wayland ones too. KWin offers the protocol only to a program that an installed desktop file names with
 * X-KDE-Wayland-Interfaces=org_kde_kwin_fake_input and whose Exec= is this program's own path.
 *
 * Prints "ready" once bound, then reads lines from standard input and answers each with "ok" once KWin has taken it:
 *   move X Y         the pointer to (X, Y) in the compositor's logical pixels (fractions allowed)
 *   button CODE 1|0  press or release an evdev button (BTN_LEFT is 272)
 *   key CODE 1|0     press or release an evdev key (KEY_LEFTCTRL is 29)
 * Ends at the end of its input; exits 1 with a reason when KWin refuses or goes away. */

#include "fake-input-client-protocol.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wayland-client.h>

static struct org_kde_kwin_fake_input* fake_input;

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface, uint32_t version)
{
    (void)data;
    /* Absolute motion came with version 3, keys with 4. */
    if (strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 4)
        fake_input = wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4);
}

static void global_remove(void* data, struct wl_registry* registry, uint32_t name)
{
    (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

int main(void)
{
    struct wl_display* display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "kwin_input: cannot connect to the Wayland display\n");
        return 1;
    }
    struct wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, NULL);
    if (wl_display_roundtrip(display) < 0 || !fake_input) {
        fprintf(stderr, "kwin_input: KWin offers no org_kde_kwin_fake_input v4 to this program: no desktop file in "
                        "the applications folders names it with X-KDE-Wayland-Interfaces\n");
        return 1;
    }
    org_kde_kwin_fake_input_authenticate(fake_input, "quosh tests", "drives the program under test");
    if (wl_display_roundtrip(display) < 0) {
        fprintf(stderr, "kwin_input: KWin closed the connection\n");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        double x, y;
        unsigned code, state;
        if (sscanf(line, "move %lf %lf", &x, &y) == 2) {
            org_kde_kwin_fake_input_pointer_motion_absolute(fake_input, wl_fixed_from_double(x),
                                                            wl_fixed_from_double(y));
        } else if (sscanf(line, "button %u %u", &code, &state) == 2 && state <= 1) {
            org_kde_kwin_fake_input_button(fake_input, code, state);
        } else if (sscanf(line, "key %u %u", &code, &state) == 2 && state <= 1) {
            org_kde_kwin_fake_input_keyboard_key(fake_input, code, state);
        } else {
            fprintf(stderr, "kwin_input: not a command: %s", line);
            return 1;
        }
        /* KWin handles requests in order: once the round trip is back, the event has been delivered. */
        if (wl_display_roundtrip(display) < 0) {
            fprintf(stderr, "kwin_input: KWin closed the connection\n");
            return 1;
        }
        printf("ok\n");
        fflush(stdout);
    }
    org_kde_kwin_fake_input_destroy(fake_input);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return 0;
}
