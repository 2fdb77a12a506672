#pragma once
// The open FTP session, whichever route carries it. The main window holds at most one and
// closes it at shutdown; the connecting work creates it.

namespace zephra::app {

class Session {
public:
    virtual ~Session() = default;
    // Ends the session (QUIT on the engine route); must not throw, failures are ignored.
    virtual void disconnect() = 0;
};

}  // namespace zephra::app
