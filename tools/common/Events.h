// The library's event texts as the tools keep them: the last one that tells
// how a cycle went, and all of them on standard error when asked for. The
// library calls back on the reading thread, the only one to touch these.
#ifndef SCANID_TOOLS_EVENTS_H
#define SCANID_TOOLS_EVENTS_H

namespace scanid_tools {

struct EventLog {
    const char *program = "scanid"; // prefix of the verbose lines
    bool verbose = false;
    char last[256] = {}; // last text of kind 2 or 3 that tells how the cycle went
};
extern EventLog g_events;

// For CARD_SetReadInfoCB.
void OnEvent(int kind, void *message);

} // namespace scanid_tools

#endif
