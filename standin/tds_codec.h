#pragma once
// TDS 7.4 on bytes alone, for the stand-in's server side: the framing of client messages into
// packets and back, the requests a client sends (PRELOGIN, LOGIN7, SQL batch, RPC) and the tokens
// of the replies. No sockets here: bytes come in through MessageReader::Feed and go out through
// the function a ReplyWriter is given.
//
// Texts handed in and out are UTF-8. On the wire they are UCS-2 (UTF-16LE), except the values
// of varchar columns (and varchar parameters), which travel in GB18030 under the Chinese
// collation that the server announces; FreeTDS then describes those columns as SQL_VARCHAR.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine.h"

namespace standin::tds {

enum class PacketType : std::uint8_t {
    SqlBatch = 0x01,
    Rpc = 0x03,
    Reply = 0x04,
    Attention = 0x06,
    BulkLoad = 0x07,
    TransactionManager = 0x0E,
    Login7 = 0x10,
    Sspi = 0x11,
    PreLogin = 0x12,
};

inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kMinPacketSize = 512;
inline constexpr std::size_t kMaxPacketSize = 32767;

// A client sent bytes that no TDS client sends; the connection cannot go on.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One client message: the payloads of its packets joined, headers dropped.
struct Request {
    PacketType type = PacketType::SqlBatch;
    std::string payload;
};

// Reassembles client messages from the bytes of a connection, however the reads split them.
class MessageReader {
public:
    explicit MessageReader(std::size_t maxMessageSize) : maxMessageSize_(maxMessageSize) {}

    // Takes the bytes of one read. Throws ProtocolError, as soon as the header shows it, for a
    // packet of an unknown type, a length outside 8..32767, a type that changes within a
    // message, an attention inside a message, or a message over the size limit.
    void Feed(std::string_view bytes);

    // The next complete message, in arrival order.
    std::optional<Request> Next();

private:
    std::size_t maxMessageSize_;
    std::string pending_;  // bytes of packets not yet complete
    std::optional<PacketType> partialType_;
    std::string partial_;  // payload of a message whose last packet has not come
    std::deque<Request> ready_;
};

// --- Requests -------------------------------------------------------------------------------

// Checks the option table of a PRELOGIN request; throws ProtocolError when it is malformed.
void CheckPreLogin(std::string_view payload);

struct Login7 {
    std::uint32_t tdsVersion = 0;  // as on the wire, e.g. 0x74000004
    std::uint32_t packetSize = 0;
    std::string hostName;
    std::string userName;
    std::string password;  // decoded
    std::string appName;
    std::string serverName;
    std::string libraryName;
    std::string language;
    std::string database;
    // Integrated log-in (OptionFlags2's fIntSecurity): no user name or password, the client's
    // security token in the SSPI field instead.
    bool integrated = false;
    std::string sspi;
};

// Throws ProtocolError for a truncated record, fields outside it, or a TDS version before 7.2.
Login7 ParseLogin7(std::string_view payload);

// The text of a SQL batch (ALL_HEADERS skipped).
std::string ParseSqlBatch(std::string_view payload);

// Procedures called by number, among those served.
enum ProcId : std::uint16_t {
    kSpCursorOpen = 2,
    kSpCursorFetch = 7,
    kSpCursorOption = 8,
    kSpCursorClose = 9,
    kSpExecuteSql = 10,
    kSpPrepare = 11,
    kSpExecute = 12,
    kSpPrepExec = 13,
    kSpUnprepare = 15,
};

struct RpcParam {
    std::string name;  // "" when unnamed
    bool output = false;
    bool isNull = true;
    std::int64_t integer = 0;  // integer and bit types
    std::string text;          // character types, UTF-8
};

struct RpcCall {
    std::uint16_t procId = 0;  // 0 when called by name
    std::string procName;      // when called by name
    std::vector<RpcParam> params;
};

// The calls of an RPC request (several when batched). Parameter types: the integers (INTN,
// INT1..INT8), BITN, NTEXT/TEXT, NVARCHAR/NCHAR (also PLP), BIGVARCHAR/BIGCHAR. Throws
// ProtocolError for anything else and for truncated or inconsistent data.
std::vector<RpcCall> ParseRpc(std::string_view payload);

// --- Replies --------------------------------------------------------------------------------

// The PRELOGIN answer: version, encryption not supported, no instance, no MARS.
std::string PreLoginReply();

inline constexpr std::uint16_t kDoneMore = 0x01;
inline constexpr std::uint16_t kDoneError = 0x02;
inline constexpr std::uint16_t kDoneCount = 0x10;
inline constexpr std::uint16_t kDoneAttention = 0x20;

// Current-command values of DONE tokens.
inline constexpr std::uint16_t kCmdSelect = 0xC1;
inline constexpr std::uint16_t kCmdExecute = 0xE0;

enum class DoneToken : std::uint8_t { Done = 0xFD, DoneProc = 0xFE, DoneInProc = 0xFF };

enum class EnvChange : std::uint8_t { Database = 1, Language = 2, PacketSize = 4 };

inline constexpr std::uint32_t kTdsVersion74 = 0x74000004;

// UTF-8 to GB18030 and back through iconv; one per thread.
class CodeConverter {
public:
    CodeConverter(const char* to, const char* from);
    ~CodeConverter();
    CodeConverter(const CodeConverter&) = delete;
    CodeConverter& operator=(const CodeConverter&) = delete;
    // Malformed input bytes become '?'.
    std::string Convert(std::string_view text);

private:
    void* cd_;
};

// Writes the tokens of reply messages and frames them into packets of the negotiated size,
// handing each full packet to `output` as soon as it is complete. DONE tokens are held back
// until the next token or the end of the message, so that every DONE but the last carries MORE.
class ReplyWriter {
public:
    using Output = std::function<void(std::string_view packets)>;
    ReplyWriter(Output output, std::string serverName);

    void SetPacketSize(std::size_t size) { packetSize_ = size; }
    void SetSpid(std::uint16_t spid) { spid_ = spid; }

    void LoginAck(std::uint32_t tdsVersion);
    void EnvChange(EnvChange type, std::string_view newValue, std::string_view oldValue);
    void CollationChange();
    void Message(const standin::Message& message);
    void ColMetadata(const std::vector<ColumnInfo>& columns);
    // COLMETADATA without columns, for a client that asked for none: the rows that follow have
    // the format of `columns`, which it knows from before.
    void NoMetaData(const std::vector<ColumnInfo>& columns);
    // A row of the result set that the last ColMetadata described. Values that do not fit their
    // column's type are sent as NULL.
    void Row(const std::vector<Value>& row);
    void ReturnStatus(std::int32_t status);
    void ReturnInt(std::uint16_t ordinal, std::string_view name, std::optional<std::int32_t> value);
    void Done(DoneToken token, std::uint16_t status, std::uint16_t curCmd, std::int64_t rowCount);

    // A message without tokens, such as the PRELOGIN answer.
    void Raw(std::string_view payload);
    // An SSPI token (0xED): the server's security token for the client's integrated log-in.
    void Sspi(std::string_view token);
    // Ends the current message: its last packet goes out with the end-of-message bit.
    void End();
    // Sends the tokens written so far at once, in a packet that does not end the message (a
    // held-back DONE stays back): what a long statement reports reaches the client as it goes.
    void Flush();
    // More tokens follow: a held-back DONE goes out now, with MORE, and with it what was
    // written before it.
    void Continue();

private:
    // Sends the full packets of the buffer; `last`: the rest too, ending the message;
    // `partial`: the rest too, in a shorter packet that does not end it.
    void Emit(bool last, bool partial = false);
    void Begin();  // a token follows: write the held-back DONE with MORE
    void PutValue(const ColumnInfo& column, const Value& value);
    void PutVariant(const Value& value);
    void PutDone(bool more);

    Output output_;
    std::string serverName_;
    std::size_t packetSize_ = 4096;
    std::uint16_t spid_ = 0;
    std::uint8_t packetId_ = 1;
    std::string buffer_;  // tokens of the current message not yet sent
    std::vector<ColumnInfo> columns_;
    struct HeldDone {
        DoneToken token;
        std::uint16_t status;
        std::uint16_t curCmd;
        std::int64_t rowCount;
    };
    std::optional<HeldDone> heldDone_;
    CodeConverter toGb18030_;
};

}  // namespace standin::tds
