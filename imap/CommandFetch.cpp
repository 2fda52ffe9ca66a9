#include "imap/CommandFetch.h"

#include "imap/ConnectionInternal.h"
#include "imap/FetchMessage.h"
#include "imap/ImapException.h"
#include "imap/Parser.h"
#include "imap/ResponseResult.h"

CommandFetch::CommandFetch(ConnectionInternal& connection, unsigned number, FetchMessage& message)
    : Command(connection, "FETCH"), message(&message)
{
    addParam(number);
    addParam("(INTERNALDATE FLAGS)");
    message.setConnection(&connection);
}

bool CommandFetch::getDateAndFlags(FetchMessage& message)
{
    for (const std::string& response : untaggedResponses) {
        ResponseResult result;
        Parser parser(response);
        parser.parseResponse(result);
        if (result.getType() != ImapResponseFetch)
            continue;
        const std::string text = result.getString();
        Parser list(text);
        std::string inner;
        list.getNodeData(inner);
        Parser items(inner);
        std::string name;
        std::string value;
        items.getNode(name);
        items.getNode(value);
        if (!message.setData(name, value))
            return false;
        // A list of one item leaves the parser at its end and both strings
        // as they were: the first pair is applied again.
        items.getNode(name);
        items.getNode(value);
        return message.setData(name, value);
    }
    return false;
}

CommandFetchBody::CommandFetchBody(ConnectionInternal& connection, unsigned number, FetchMessage& message)
    : Command(connection, "FETCH"), message(&message)
{
    addParam(number);
    addParam("BODY.PEEK[]");
    message.setConnection(&connection);
}

unsigned CommandFetchBody::execute()
{
    completeCommandString();
    connection->send(getCommandString());
    std::string line;
    connection->recvLine(line);
    if (line.compare(0, 5, "* BYE") == 0) {
        connection->close();
        throw ImapServerBrokeConnection("");
    }
    if (line.empty())
        throw ImapTimeoutException("");
    if (message == nullptr)
        return 1;
    return message->parseResponse(line) ? 0 : 1;
}
