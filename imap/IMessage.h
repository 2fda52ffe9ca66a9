#pragma once

#include <string>

// The source of one uploaded message. The uploader asks getSize, getDate and
// getFlags, in that order, before it builds the command; then it calls
// getFirstDataPart once and getNextDataPart for as long as the last call
// returned true, sending the part after each true. Each call empties part
// first; false means no part was delivered and the message is complete.
// getSize is the exact number of body bytes the parts deliver. A message
// that cannot deliver them all throws std::runtime_error from a part call.
class IMessage {
public:
    virtual ~IMessage() {}
    virtual bool getFirstDataPart(std::string& part) = 0;
    virtual bool getNextDataPart(std::string& part) = 0;
    // Space-separated system flags, empty for none.
    virtual std::string getFlags() = 0;
    // IMAP date-time without quotes, empty for none.
    virtual std::string getDate() = 0;
    virtual unsigned getSize() = 0;
};
