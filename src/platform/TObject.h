// The common base of the program's components, so that an event type shared by several
// components (a background-exception handler, a plain notification) can take any of them as its
// Sender and the handler can tell which one called.
#pragma once

class TObject {
public:
    virtual ~TObject() = default;
};
