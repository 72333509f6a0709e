// scanidd's log: one line per call on standard error (the journal under
// systemd). Never give it card data.
#ifndef SCANIDD_LOG_H
#define SCANIDD_LOG_H

#include <cstdio>
#include <string>

namespace scanidd {

inline void Log(const std::string &text)
{
    (void)fputs(("scanidd: " + text + "\n").c_str(), stderr); // one write: lines from two threads stay whole
}

} // namespace scanidd

#endif
