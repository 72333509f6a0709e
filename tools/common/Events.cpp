#include "Events.h"

#include <cstdio>
#include <cstring>

#include "scanid.h"

namespace scanid_tools {

EventLog g_events;

void OnEvent(int kind, void *message)
{
    const char *text = message ? static_cast<const char *>(message) : "";
    if (g_events.verbose) {
        // A fixed buffer: nothing may throw back into the library.
        char line[320];
        (void)snprintf(line, sizeof line, "%s: event %d: %s\n", g_events.program, kind, text); // cut if longer
        (void)fputs(line, stderr);
    }
    if (kind != SCANID_EVENT_PROGRESS && kind != SCANID_EVENT_HEARTBEAT)
        return;
    // Every cycle ends by closing its link; that line would hide the failure.
    if (strcmp(text, "disconnect usb") == 0 || strcmp(text, "disconnect serial") == 0)
        return;
    (void)snprintf(g_events.last, sizeof g_events.last, "%s", text); // cut if longer
}

} // namespace scanid_tools
