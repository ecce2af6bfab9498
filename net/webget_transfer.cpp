// The HTTP client's phase machine (attempts, retries, keep-alive reuse, I/O
// time-outs, blocking or stepping) and the reply body (size limit, chunked
// coding, decompression hooks, content sink, completion). Tuned for bulk
// transfer: a blocking loop reads again at once while bytes keep coming and
// waits on the socket only when a read would block.
#include "core/zyl.h"
#include "net/webget.h"
#include "net/webget_internal.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

namespace {

const char *const kPhaseNames[] = {"Unknown",  "Queued",  "Startup", "Reset", "Lookup",
                                   "Connect",  "Request", "Header",  "Body",  "Retry",
                                   "Evaluate", "Cleanup", "Done",    "Idle"};

int IsSuccessStatus(int status) {
    return status >= 200 && status <= 299;
}

int HasNoBody(WebGetStruct *web) {
    int s = web->Status;
    return web->Settings.Method == WEBGET_HEAD || (s >= 100 && s < 200) || s == 204 || s == 304;
}

// Polls the socket once; returns the poll result bits (0 when closed).
short PollSocket(WebGetStruct *web, short events, int timeoutMs) {
    int fd = -1;
    if (!Socket_GetHandle(web->Socket, &fd))
        return 0;
    struct pollfd p = {fd, events, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return 0;
    return p.revents;
}

// A kept connection may carry the next request when it is not idle past the
// I/O time-out and the server has not closed it (nothing readable).
int KeptConnectionUsable(WebGetStruct *web, double now) {
    if (!Socket_IsOpen(web->Socket) || !Zyl_StrEqual(web->Host, web->ConnectedHost))
        return 0;
    if (web->End > 0.0 && now - web->End > web->Settings.IOTimeout)
        return 0;
    return PollSocket(web, POLLIN, 0) == 0;
}

void ClearReply(WebGetStruct *web) {
    if (web->Decompressing && web->Compression.End != nullptr)
        web->Compression.End(web, web->Compression.User);
    web->ContentLength = 0;
    web->HasContentLength = 0;
    web->Decompressing = 0;
    web->Chunked = 0;
    web->ChunkState = WEBGET_CHUNK_SIZE;
    web->ChunkLeft = 0;
    web->ChunkCount = 0;
    web->TrailerBytes = 0;
    web->InterimCount = 0;
    web->HeadBytes = 0;
    web->AcceptRanges = 0;
    web->ReplyVersion = 0.0;
    web->PeerClosed = 0;
    web->BodyComplete = 0;
    web->ContentCount = 0;
    web->RawCount = 0;
    web->ReceiveLength = 0;
    web->HeaderLength = 0;
    web->HeaderBuffer[0] = '\0';
    web->Content[0] = '\0';
    web->Accepted = 1;
    web->NextProgress = 1024.0;
}

void Reset(WebGetStruct *web) {
    WebGet_CleanCurrentURL(web);
    Zyl_StrCopy(web->PreviousURL, web->CurrentURL, sizeof web->PreviousURL);
    WebGet_SplitURL(web, web->CurrentURL);
    web->Attempt++;
    web->Status = WEBGET_STATUS_RESET;
    web->Transport = &web->Plain;
    web->UsingSecure = 0;
    ClearReply(web);
}

void StepQueued(WebGetStruct *web) {
    Zyl_StrCopy(web->CurrentURL, web->URL, sizeof web->CurrentURL);
    web->Attempt = 0;
    web->Redirects = 0;
    web->Status = 0;
    web->Success = 0;
    web->RequestStart = 0.0;
    web->ConnectStart = 0.0;
    web->End = 0.0;
    web->Began = WebGet_Now(web);
    memset(web->PhaseTimes, 0, sizeof web->PhaseTimes);
    WebGet_SetPhase(web, WEBGET_PHASE_STARTUP);
}

// Startup and Retry. Returns the ms still to wait before the next attempt.
int StepStartup(WebGetStruct *web) {
    int isRetry = web->Phase == WEBGET_PHASE_RETRY;
    double now = WebGet_Now(web);
    if (web->Attempt > 0) {
        double last = web->ConnectStart > web->RequestStart ? web->ConnectStart : web->RequestStart;
        double wait = last + web->Settings.RetryDelay - now;
        if (wait > 0.0)
            return (int)(wait * 1000.0) + 1;
    }
    if (web->StartCallback != nullptr && !web->StartCallback(web, web->StartUser)) {
        WebGet_CloseConnection(web, 1);
        web->Status = WEBGET_STATUS_ABORT;
        WebGet_SetPhase(web, WEBGET_PHASE_CLEANUP);
        return 0;
    }
    if (web->Attempt >= web->Settings.Attempts) {
        WebGet_CloseConnection(web, 1);
        if (web->Status == WEBGET_STATUS_RESET || web->Status == 0)
            web->Status = WEBGET_STATUS_CONNECT;
        WebGet_SetPhase(web, WEBGET_PHASE_CLEANUP);
        return 0;
    }
    if (web->Settings.Trace)
        Zyl_Print("Attempt %d (of %d) : %d [%d]\n", web->Attempt + 1, web->Settings.Attempts,
                  web->Status, web->Redirects);
    Reset(web);
    if (!isRetry && web->Settings.KeepAlive && KeptConnectionUsable(web, now)) {
        if (web->Settings.Trace)
            Zyl_Print("Persistent connection in use - skipping connection phase\n");
        web->RequestStart = web->LastIO = web->WindowStart = now;
        web->WindowBytes = 0;
        WebGet_SetPhase(web, WEBGET_PHASE_REQUEST);
        return 0;
    }
    if (web->Settings.Trace)
        Zyl_Print("Close connection\n");
    WebGet_CloseConnection(web, 1);
    WebGet_SetPhase(web, WEBGET_PHASE_LOOKUP);
    return 0;
}

void RetryWith(WebGetStruct *web, int status) {
    if (status != 0)
        web->Status = status;
    WebGet_SetPhase(web, WEBGET_PHASE_RETRY);
}

// Starts the connection (first step of Connect). 0 after a failure (Retry set).
int StartConnect(WebGetStruct *web) {
    const uint8_t *a = web->Server.Address;
    if (web->Settings.Trace)
        Zyl_Print("Connecting %s (Attempt %d) to URL '%s' [%s] (C:%d) (%d.%d.%d.%d:%d)\n",
                  web->UsingSecure ? "SSL" : "Normal", web->Attempt, web->CurrentURL,
                  web->ResolvedHost, web->ConnectionCount, a[0], a[1], a[2], a[3],
                  web->Server.Port);
    web->ConnectStart = WebGet_Now(web);
    Socket_Close(web->Socket);
    if (!Socket_Open(web->Socket, SOCKET_PROTOCOL_TCP)) {
        RetryWith(web, 0);
        return 0;
    }
    if (web->Settings.HasLocalAddress && !Socket_Bind(web->Socket, web->Settings.LocalBind, 0)) {
        Zyl_Print("Failed on bind callback for URL '%s'\n", web->CurrentURL);
        Socket_Close(web->Socket);
        RetryWith(web, 0);
        return 0;
    }
    int ms = (int)(web->Settings.ConnectTimeout * 1000.0);
    Socket_SetTimeouts(web->Socket, ms, ms, 0);
    Socket_SetBlocking(web->Socket, 0);
    if (!web->Transport->Connect(web, web->Transport->User, a, web->Server.Port)) {
        Zyl_Print("Failed on connect callback for URL '%s' (%d.%d.%d.%d:%d)\n", web->CurrentURL,
                  a[0], a[1], a[2], a[3], web->Server.Port);
        Socket_Close(web->Socket);
        RetryWith(web, 0);
        return 0;
    }
    web->ConnectionCount++;
    Socket_SetRateLimits(web->Socket, web->Settings.RateLimit * 1024,
                         web->Settings.RateLimit * 1024);
    return 1;
}

// 0 when the non-blocking connect ended in an error (a refusal shows as writable).
int ConnectSucceeded(WebGetStruct *web) {
    int fd = -1;
    Socket_GetHandle(web->Socket, &fd);
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error == 0)
        return 1;
    web->Socket->LastError = Socket_MapErrno(error);
    const uint8_t *a = web->Server.Address;
    Zyl_Print("Unable to connect [%s] to machine %d.%d.%d.%d:%d\n",
              Socket_GetLastErrorString(web->Socket), a[0], a[1], a[2], a[3], web->Server.Port);
    return 0;
}

void StepConnect(WebGetStruct *web, int first) {
    if (first && !StartConnect(web))
        return;
    int ready = web->Transport->Ready(web, web->Transport->User);
    short events = PollSocket(web, POLLOUT, 0);
    double now = WebGet_Now(web);
    if (ready && events != 0) {
        if (!ConnectSucceeded(web)) {
            Socket_Close(web->Socket);
            RetryWith(web, 0);
            return;
        }
        int ms = (int)(web->Settings.IOTimeout * 1000.0);
        Socket_SetTimeouts(web->Socket, ms, ms, 0);
        web->LastIO = web->RequestStart = web->WindowStart = now;
        web->WindowBytes = 0;
        int port = 0;
        Socket_GetSockName(web->Socket, web->LocalAddress, &port);
        Zyl_StrCopy(web->ConnectedHost, web->Host, sizeof web->ConnectedHost);
        WebGet_SetPhase(web, WEBGET_PHASE_REQUEST);
        return;
    }
    if (now - web->ConnectStart > web->Settings.IOTimeout) {
        if (ready)
            Zyl_Print("Failed on connect timeout for URL '%s'\n", web->CurrentURL);
        else
            Zyl_Print("Failed on connect setup timeout for URL '%s'\n", web->CurrentURL);
        Socket_Close(web->Socket);
        RetryWith(web, 0);
    }
}

// Writes as much of `data` as the socket takes now; 0 on a write failure.
int WriteSome(WebGetStruct *web, const char *data, int length, int *sent) {
    while (*sent < length) {
        int count = 0;
        if (!web->Transport->Write(web, web->Transport->User, data + *sent, length - *sent,
                                   &count)) {
            int error = Socket_GetLastError(web->Socket);
            Zyl_Print("Socket error in request occurred %d:[%s]\n", error,
                      Socket_GetErrorString(error));
            return 0;
        }
        if (count == 0)
            return 1;
        *sent += count;
        web->WindowBytes += count;
        web->LastIO = WebGet_Now(web);
        web->Progressed = 1;
    }
    return 1;
}

void StepRequest(WebGetStruct *web, int first) {
    if (first) {
        WebGet_BuildRequest(web);
        if (web->Settings.PostDump && web->Settings.Method == WEBGET_POST &&
            web->PostData != nullptr)
            Zyl_PrintHex(1, 1, web->PostData, web->PostLength);
    }
    if (!WriteSome(web, web->HeaderBuffer, web->RequestLength, &web->RequestSent)) {
        RetryWith(web, WEBGET_STATUS_SOCKET);
        return;
    }
    if (web->RequestSent < web->RequestLength)
        return;
    if (web->Settings.Method == WEBGET_POST && !web->BodyInline && web->PostLength > 0) {
        if (!WriteSome(web, static_cast<const char *>(web->PostData), web->PostLength,
                       &web->BodySent)) {
            RetryWith(web, WEBGET_STATUS_SOCKET);
            return;
        }
        if (web->BodySent < web->PostLength)
            return;
    }
    web->HeaderLength = 0;
    web->HeaderBuffer[0] = '\0';
    web->ReceiveLength = 0;
    WebGet_SetPhase(web, WEBGET_PHASE_HEADER);
}

// Reads into the free part of the receive buffer. 1 with *count bytes (0 =
// would block); 0 when the peer closed or the socket failed (PeerClosed set).
int ReadSome(WebGetStruct *web, int *count) {
    *count = 0;
    web->Drained = 0;
    int room = web->ReceiveSize - web->ReceiveLength;
    if (room <= 0)
        return 1;
    if (!web->Transport->Read(web, web->Transport->User, web->ReceiveBuffer + web->ReceiveLength,
                              room, count)) {
        web->PeerClosed = 1;
        return 0;
    }
    // Only the built-in transport's socket tells the whole truth through
    // poll: a secure or stand-in transport may hold bytes of its own.
    web->Drained = *count < room && web->Transport->Read == web->Plain.Read &&
                   web->Plain.Read == WebGet_PlainRead;
    if (*count > 0) {
        web->ReceiveLength += *count;
        web->WindowBytes += *count;
        web->LastIO = WebGet_Now(web);
        web->Progressed = 1;
    }
    return 1;
}

void StepHeader(WebGetStruct *web) {
    int from = web->ReceiveLength;
    int count = 0;
    if (!ReadSome(web, &count)) {
        int error = Socket_GetLastError(web->Socket);
        Zyl_Print("Socket error in header occurred %d:[%s]\n", error, Socket_GetErrorString(error));
        RetryWith(web, WEBGET_STATUS_SOCKET);
        return;
    }
    if (count == 0)
        return;
    for (;;) {
        int found = WebGet_FindHeaderEnd(web, from);
        if (found < 0) {
            Zyl_Print("Unable to find termination to header (%I64d)\n",
                      (int64_t)web->ReceiveLength + web->HeadBytes);
            RetryWith(web, WEBGET_STATUS_SOCKET);
            return;
        }
        if (found == 0)
            return;
        if (!WebGet_ParseHeader(web)) {
            RetryWith(web, WEBGET_STATUS_SOCKET);
            return;
        }
        if (web->Status >= 200 || web->Status < 100)
            break;
        // An interim 1xx reply: the real head follows. Interim heads share the
        // head limit, and only a few are taken, so that a server cannot keep
        // the client reading them for ever.
        web->InterimCount++;
        web->HeadBytes += web->HeaderLength;
        if (web->InterimCount > WEBGET_MAX_INTERIM) {
            Zyl_Print("Too many interim replies (%d) for '%s'\n", web->InterimCount,
                      web->CurrentURL);
            RetryWith(web, WEBGET_STATUS_SOCKET);
            return;
        }
        web->HeaderLength = 0;
        web->HasContentLength = 0;
        web->ContentLength = 0;
        web->Chunked = 0;
        web->AcceptRanges = 0;
        from = 0;
    }
    WebGet_EvaluateHeader(web);
}

void LogProgress(WebGetStruct *web) {
    double count = (double)web->ContentCount;
    if (count < web->NextProgress)
        return;
    double seconds = WebGet_Now(web) - web->RequestStart;
    if (count < 1048576.0) {
        Zyl_Print("WebGet Transfer [%.1fk] (%.1f secs)\n", count / 1024.0, seconds);
        web->NextProgress = count + 1024.0;
    } else {
        Zyl_Print("WebGet Transfer [%.1fm] (%.1f secs)\n", count / 1048576.0, seconds);
        web->NextProgress = count + 104857.6;
    }
}

// The default sink: appends to the content buffer, keeping a NUL after it.
void AppendContent(WebGetStruct *web, const void *data, int length) {
    int64_t needed = web->ContentCount + length;
    if (web->ContentSize - needed < WEBGET_BUFFER_STEP) {
        int64_t m = needed / WEBGET_BUFFER_STEP + 1;
        int64_t size = (m + m / 10) * WEBGET_BUFFER_STEP;
        if (size < needed + 1)
            size = needed + WEBGET_BUFFER_STEP;
        char *grown = static_cast<char *>(ZYL_ALLOC(size));
        memcpy(grown, web->Content, (size_t)web->ContentCount);
        ZYL_FREE(web->Content, web->ContentSize);
        web->Content = grown;
        web->ContentSize = size;
    }
    memcpy(web->Content + web->ContentCount, data, (size_t)length);
    web->Content[needed] = '\0';
}

// Hands content to the sink; 0 when the sink refused it (956).
int Sink(WebGetStruct *web, const void *data, int length) {
    if (length <= 0)
        return 1;
    if (web->ContentCallback != nullptr) {
        if (!web->ContentCallback(web, web->ContentUser, data, length, &web->Accepted)) {
            web->Status = WEBGET_STATUS_ABORT;
            return 0;
        }
    } else {
        AppendContent(web, data, length);
    }
    web->ContentCount += length;
    if (web->Settings.ProgressLog)
        LogProgress(web);
    return 1;
}

// Delivers body bytes: raw count, decompression, size limit, sink. 0 on a
// failure with the status set (956, 959, 960).
int Deliver(WebGetStruct *web, const char *data, int length) {
    web->RawCount += length;
    if (!web->Decompressing)
        return Sink(web, data, length);
    if (web->DecompressBuffer == nullptr) {
        web->DecompressSize = WEBGET_RECEIVE_SIZE;
        web->DecompressBuffer = static_cast<char *>(ZYL_ALLOC(web->DecompressSize));
    }
    while (length > 0) {
        int used = 0;
        int made = 0;
        if (!web->Compression.Decompress(web, web->Compression.User, data, length, &used,
                                         web->DecompressBuffer, web->DecompressSize, &made)) {
            web->Compression.End(web, web->Compression.User);
            web->Decompressing = 0;
            web->Status = WEBGET_STATUS_DECOMPRESS;
            return 0;
        }
        if (!Sink(web, web->DecompressBuffer, made))
            return 0;
        if (used <= 0 && made <= 0)
            break;
        data += used;
        length -= used;
    }
    return 1;
}

// Limits the bytes about to be delivered to the size limit; 0 when the limit
// is reached (then *length is what may still go out).
int WithinLimit(WebGetStruct *web, int *length) {
    int64_t limit = WebGet_EffectiveLimit(web);
    if (limit <= 0 || web->ContentCount + *length <= limit)
        return 1;
    Zyl_Print("Limit hit (%I64d > %I64d) [%d]\n", web->ContentCount + *length, limit, web->Status);
    *length = (int)(limit - web->ContentCount);
    return 0;
}

int ChunkError(WebGetStruct *web, const char *line, int length) {
    Zyl_Print("Excessive chunked size [%d] %d = (%s)\n", web->ChunkCount, length, line);
    web->Status = WEBGET_STATUS_CHUNKED;
    return 0;
}

// Parses a chunk size line (without its line end). 0 on a bad line.
int ParseChunkSize(WebGetStruct *web, const char *line, int length, int64_t *size) {
    *size = 0;
    if (length > 12)
        return ChunkError(web, line, length);
    int digits = 0;
    int64_t value = 0;
    int i = 0;
    for (; i < length; i++) {
        char c = line[i];
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0)
            break;
        value = value * 16 + d;
        digits++;
    }
    while (i < length && (line[i] == ' ' || line[i] == '\t'))
        i++;
    if (digits == 0 || (i < length && line[i] != ';'))
        return ChunkError(web, line, length);
    *size = value;
    return 1;
}

// One line of the chunk framing at data[*pos]: 1 with the line (without its end,
// cut to lineSize - 1 characters) when complete, 0 when more bytes are needed,
// -1 when longer than `limit`.
int TakeLine(const char *data, int length, int *pos, int limit, char *line, int lineSize,
             int *lineLength) {
    int start = *pos;
    int end = start;
    while (end < length && data[end] != '\n' && end - start <= limit)
        end++;
    if (end - start > limit)
        return -1;
    if (end >= length)
        return 0;
    int n = end - start;
    if (n > 0 && data[end - 1] == '\r')
        n--;
    *lineLength = n;
    if (n > lineSize - 1)
        n = lineSize - 1;
    memcpy(line, data + start, (size_t)n);
    line[n] = '\0';
    *pos = end + 1;
    return 1;
}

// Runs the chunk decoder over the receive buffer. 1 = fine (maybe waiting for
// more), 0 = failure with the status set.
int ProcessChunked(WebGetStruct *web, int *limitHit) {
    const char *data = web->ReceiveBuffer;
    int length = web->ReceiveLength;
    int pos = 0;
    char line[80];
    int lineLength = 0;
    while (pos < length && web->ChunkState != WEBGET_CHUNK_DONE && !*limitHit) {
        if (web->ChunkState == WEBGET_CHUNK_DATA) {
            int take = length - pos;
            if ((int64_t)take > web->ChunkLeft)
                take = (int)web->ChunkLeft;
            *limitHit = !WithinLimit(web, &take);
            if (!Deliver(web, data + pos, take))
                return 0;
            pos += take;
            web->ChunkLeft -= take;
            if (web->ChunkLeft == 0)
                web->ChunkState = WEBGET_CHUNK_CRLF;
            continue;
        }
        // Size lines are at most 70 characters, trailer lines 1024.
        int limit = web->ChunkState == WEBGET_CHUNK_TRAILER ? 1024 : 70;
        int got = TakeLine(data, length, &pos, limit, line, sizeof line, &lineLength);
        if (got < 0)
            return ChunkError(web, "", limit);
        if (got == 0)
            break;
        if (web->ChunkState == WEBGET_CHUNK_CRLF) {
            if (lineLength != 0)
                return ChunkError(web, line, lineLength);
            web->ChunkState = WEBGET_CHUNK_SIZE;
        } else if (web->ChunkState == WEBGET_CHUNK_TRAILER) {
            // Trailer lines are read and dropped; their total is bounded so
            // that an endless trailer ends the body.
            web->TrailerBytes += lineLength + 2;
            if (web->TrailerBytes > WEBGET_TRAILER_LIMIT) {
                Zyl_Print("Chunked trailer longer than %d bytes for '%s'\n", WEBGET_TRAILER_LIMIT,
                          web->CurrentURL);
                web->Status = WEBGET_STATUS_CHUNKED;
                return 0;
            }
            if (lineLength == 0)
                web->ChunkState = WEBGET_CHUNK_DONE;
        } else {
            int64_t size = 0;
            if (!ParseChunkSize(web, line, lineLength, &size))
                return 0;
            web->ChunkCount++;
            web->ChunkLeft = size;
            web->ChunkState = size == 0 ? WEBGET_CHUNK_TRAILER : WEBGET_CHUNK_DATA;
        }
    }
    web->ReceiveLength = length - pos;
    memmove(web->ReceiveBuffer, data + pos, (size_t)web->ReceiveLength);
    return 1;
}

} // namespace

// Processes the body bytes in the receive buffer. 1 = fine; 0 = the body
// ended with the status set (955, 956, 959, 960).
int WebGet_ProcessContent(WebGetStruct *web) {
    int limitHit = 0;
    if (web->Chunked) {
        if (!ProcessChunked(web, &limitHit))
            return 0;
    } else {
        int take = web->ReceiveLength;
        if (web->HasContentLength && web->RawCount + take > web->ContentLength)
            take = (int)(web->ContentLength - web->RawCount); // bytes past the body are dropped
        limitHit = !WithinLimit(web, &take);
        web->ReceiveLength = 0;
        if (!Deliver(web, web->ReceiveBuffer, take))
            return 0;
    }
    if (limitHit) {
        web->Status = WEBGET_STATUS_SIZE_LIMIT;
        return 0;
    }
    return 1;
}

namespace {

int BodyDone(WebGetStruct *web, int socketError) {
    if (web->HasContentLength)
        return web->RawCount >= web->ContentLength;
    if (web->Chunked)
        return web->ChunkState == WEBGET_CHUNK_DONE ||
               (web->PeerClosed && web->ChunkState == WEBGET_CHUNK_TRAILER);
    return web->PeerClosed && socketError == 0;
}

void FinishBody(WebGetStruct *web) {
    web->BodyComplete = 1;
    if (web->Settings.Trace) {
        if (web->Decompressing)
            Zyl_Print("Compressed content expanded from %d to %d\n", (int)web->RawCount,
                      (int)web->ContentCount);
        char text[64];
        WebGet_ResultText(web->Status, text, sizeof text);
        Zyl_Print("Total Read [%d + %I64d (%d)] (%d:%s) (%d:%I64d) (%.2fsec)\n", web->HeaderLength,
                  web->ContentCount, web->ChunkCount, web->Status, text, web->Attempt,
                  web->RawCount, WebGet_Now(web) - web->RequestStart);
    }
    if (web->Decompressing && web->Compression.End != nullptr) {
        web->Compression.End(web, web->Compression.User);
        web->Decompressing = 0;
    }
    WebGet_SetPhase(web, WEBGET_PHASE_EVALUATE);
}

void BodyStopped(WebGetStruct *web, int socketError) {
    if (!IsSuccessStatus(web->Status)) {
        RetryWith(web, socketError != 0 ? WEBGET_STATUS_SOCKET : 0);
        return;
    }
    Zyl_Print("Read was not completed [%d + %I64d/%I64d (%d)] (%d:%s) (%d:%I64d) (%.2fsec)\n",
              web->HeaderLength, web->ContentCount, web->ContentLength, web->ChunkCount,
              socketError, Socket_GetErrorString(socketError), web->Attempt, web->RawCount,
              WebGet_Now(web) - web->RequestStart);
    web->Status = WEBGET_STATUS_PARTIAL;
    WebGet_SetPhase(web,
                    web->Settings.RetryIncomplete ? WEBGET_PHASE_RETRY : WEBGET_PHASE_EVALUATE);
}

// After a body failure: retry for framing and decoding errors, end otherwise.
void BodyFailed(WebGetStruct *web) {
    if (web->Status == WEBGET_STATUS_CHUNKED || web->Status == WEBGET_STATUS_DECOMPRESS)
        WebGet_SetPhase(web, WEBGET_PHASE_RETRY);
    else
        WebGet_SetPhase(web, WEBGET_PHASE_EVALUATE);
}

} // namespace

int WebGet_ReadBody(WebGetStruct *web) {
    int count = 0;
    int socketError = 0;
    if (!ReadSome(web, &count)) {
        socketError = Socket_GetLastError(web->Socket);
        if (socketError != 0)
            Zyl_Print("Socket error in body occurred %d:[%s]\n", socketError,
                      Socket_GetErrorString(socketError));
    }
    if (count > 0 && !WebGet_ProcessContent(web)) {
        BodyFailed(web);
        return 0;
    }
    if (BodyDone(web, socketError)) {
        FinishBody(web);
        return 1;
    }
    if (web->PeerClosed)
        BodyStopped(web, socketError);
    return 1;
}

namespace {

// 1 when the reply announces more content than the limit allows: it is
// refused before any of it is read.
int LengthOverLimit(WebGetStruct *web) {
    int64_t limit = WebGet_EffectiveLimit(web);
    if (limit <= 0 || !web->HasContentLength || web->Decompressing || web->ContentLength <= limit)
        return 0;
    Zyl_Print("Content-Length %I64d above the size limit %I64d for '%s'\n", web->ContentLength,
              limit, web->CurrentURL);
    return 1;
}

void StepBody(WebGetStruct *web, int first) {
    if (first) {
        if (HasNoBody(web)) {
            if (web->Settings.Method == WEBGET_HEAD && web->Settings.Trace)
                Zyl_Print("Head request expects no body\n");
            web->ReceiveLength = 0;
            FinishBody(web);
            return;
        }
        if (LengthOverLimit(web)) {
            web->Status = WEBGET_STATUS_SIZE_LIMIT;
            web->ReceiveLength = 0;
            WebGet_SetPhase(web, WEBGET_PHASE_EVALUATE);
            return;
        }
        if (web->ReceiveLength > 0 && !WebGet_ProcessContent(web)) {
            BodyFailed(web);
            return;
        }
        if (BodyDone(web, 0)) {
            FinishBody(web);
            return;
        }
    }
    WebGet_ReadBody(web);
}

void StepEvaluate(WebGetStruct *web) {
    if (web->Settings.Method != WEBGET_HEAD)
        WebGet_AddHeader(web, "Referer", web->CurrentURL);
    web->End = WebGet_Now(web);
    web->PostData = nullptr;
    web->PostLength = 0;
    web->RangeStart = 0;
    web->RangeEnd = 0;
    web->RangeSet = 0;
    web->Success = IsSuccessStatus(web->Status) && web->Accepted == 1 ? 1 : 0;
    if (web->Settings.Trace || !web->Success)
        Zyl_Print("%s (%d) (C:%d) [%d:%d] [%s]\n", web->Success ? "Successful" : "Failure",
                  web->Status, web->ConnectionCount, web->Attempt, web->Redirects, web->CurrentURL);
    WebGet_SetPhase(web, WEBGET_PHASE_CLEANUP);
}

// 1 when the reply lets the connection carry another request.
int ReplyKeepsConnection(WebGetStruct *web) {
    if (!web->Settings.KeepAlive || !web->Success || web->PeerClosed || !Socket_IsOpen(web->Socket))
        return 0;
    if (!web->HasContentLength && !web->Chunked && !HasNoBody(web))
        return 0; // the body ran until the server closed
    char value[64];
    if (WebGet_GetHeaderValue(web, "Connection", value, sizeof value))
        return Zyl_StrEqualNoCase(value, "Keep-Alive");
    return web->ReplyVersion >= 1.1;
}

void TracePhaseTimes(WebGetStruct *web) {
    for (int phase = WEBGET_PHASE_CONNECT; phase <= WEBGET_PHASE_DONE; phase++) {
        if (web->PhaseTimes[phase] != 0.0)
            Zyl_Print("%-10s : %.4fs\n", kPhaseNames[phase], web->PhaseTimes[phase]);
    }
    double seconds = 0.0;
    WebGet_GetTransferTime(web, &seconds);
    Zyl_Print("%-10s : %.4fs\n", "Trans", seconds);
    WebGet_GetTotalTime(web, &seconds);
    Zyl_Print("%-10s : %.4fs\n", "Total", seconds);
}

void StepCleanup(WebGetStruct *web) {
    if (!ReplyKeepsConnection(web)) {
        char value[64] = {0};
        WebGet_GetHeaderValue(web, "Connection", value, sizeof value);
        if (web->Settings.Trace)
            Zyl_Print("Connection close forced [%.1f:%d:%s]\n", web->ReplyVersion,
                      web->Settings.KeepAlive, value);
        WebGet_CloseConnection(web, 1);
    }
    if (web->End == 0.0)
        web->End = WebGet_Now(web);
    WebGet_SetPhase(web, WEBGET_PHASE_DONE);
    if (web->Settings.Trace)
        TracePhaseTimes(web);
}

void StepIdle(WebGetStruct *web) {
    if (!Socket_IsOpen(web->Socket))
        return;
    double idle = WebGet_Now(web) - web->End;
    if (idle > web->Settings.IOTimeout) {
        Zyl_Print("Closing peristent connection due to timeout (%.1f)\n", idle);
        WebGet_CloseConnection(web, 1);
    }
}

// The time limits after each step: the request's deadline (it ends the
// request), and in the transfer phases the I/O time-out and the minimum rate
// over a window (both retry).
void CheckTimeouts(WebGetStruct *web) {
    int phase = web->Phase;
    if (phase == WEBGET_PHASE_EVALUATE || phase == WEBGET_PHASE_CLEANUP ||
        phase == WEBGET_PHASE_DONE || phase == WEBGET_PHASE_IDLE)
        return;
    const WebGetSettingsStruct *s = &web->Settings;
    double now = WebGet_Now(web);
    if (s->Deadline > 0.0 && now - web->Began > s->Deadline) {
        Zyl_Print("WebGet deadline of %.1f s passed for request '%s' (%d:%d)\n", s->Deadline,
                  web->CurrentURL, web->Attempt, web->Redirects);
        WebGet_CloseConnection(web, 1);
        web->Status = WEBGET_STATUS_IO_TIMEOUT;
        WebGet_SetPhase(web, WEBGET_PHASE_EVALUATE);
        return;
    }
    if (phase != WEBGET_PHASE_REQUEST && phase != WEBGET_PHASE_HEADER && phase != WEBGET_PHASE_BODY)
        return;
    double idle = now - web->LastIO;
    if (idle > s->IOTimeout) {
        Zyl_Print("WebGet timeout on socket IO for request '%s' (%.1f:%d) -- requesting retry\n",
                  web->CurrentURL, idle, web->Attempt);
        RetryWith(web, WEBGET_STATUS_IO_TIMEOUT);
        return;
    }
    if (s->MinRate <= 0 || now - web->WindowStart < s->RateWindow)
        return;
    if ((double)web->WindowBytes < s->MinRate * s->RateWindow) {
        Zyl_Print("WebGet transfer stalled (%I64d bytes in %.1f s, below %d bytes/s) for request "
                  "'%s' -- requesting retry\n",
                  web->WindowBytes, now - web->WindowStart, s->MinRate, web->CurrentURL);
        RetryWith(web, WEBGET_STATUS_IO_TIMEOUT);
        return;
    }
    web->WindowStart = now;
    web->WindowBytes = 0;
}

// Blocking mode: waits for the socket (at most 100 ms) when the step moved no
// bytes or its read emptied the socket, or for the retry delay.
void WaitForProgress(WebGetStruct *web, int delayMs) {
    int phase = web->Phase;
    if (delayMs > 0) {
        Zyl_SleepMilliseconds(delayMs < 100 ? delayMs : 100);
        return;
    }
    int limitMs = 0;
    if (web->Progressed) {
        // A read that emptied the socket: the next one would only find it
        // empty, so wait for bytes first (one poll instead of a read that
        // would block and then the poll). Not after a phase change: the
        // bytes already held come first.
        if (web->Drained && !web->PhaseChanged &&
            (phase == WEBGET_PHASE_HEADER || phase == WEBGET_PHASE_BODY) &&
            !Socket_GetReadDelay(web->Socket, &limitMs))
            PollSocket(web, POLLIN, 100);
        return;
    }
    if (phase == WEBGET_PHASE_HEADER || phase == WEBGET_PHASE_BODY) {
        // Under a rate limit whose second is used up the socket stays readable:
        // sleep out the second instead of spinning.
        if (Socket_GetReadDelay(web->Socket, &limitMs))
            Zyl_SleepMilliseconds(limitMs < 100 ? limitMs + 1 : 100);
        else
            PollSocket(web, POLLIN, 100);
    } else if (phase == WEBGET_PHASE_REQUEST || phase == WEBGET_PHASE_CONNECT) {
        if (Socket_GetWriteDelay(web->Socket, &limitMs))
            Zyl_SleepMilliseconds(limitMs < 100 ? limitMs + 1 : 100);
        else
            PollSocket(web, POLLOUT, 100);
    }
}

} // namespace

int WebGet_SetPhase(WebGetStruct *web, int phase) {
    ZYL_CHECK_TAG(web, WebGetTag);
    if (phase == web->Phase)
        return 1;
    double now = WebGet_Now(web);
    if (web->Phase > 0 && web->Phase < WEBGET_PHASE_COUNT && web->PhaseStart > 0.0)
        web->PhaseTimes[web->Phase] += now - web->PhaseStart;
    if (web->Settings.Trace)
        Zyl_Print("Phase changed from [%s] to [%s]\n", WebGet_PhaseName(web->Phase),
                  WebGet_PhaseName(phase));
    web->Phase = phase;
    web->PhaseStart = now;
    web->PhaseChanged = 1;
    return 1;
}

int WebGet_GetPhase(WebGetStruct *web, int *phase) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(phase);
    *phase = web->Phase;
    return 1;
}

const char *WebGet_PhaseName(int phase) {
    if (phase < 1 || phase > WEBGET_PHASE_IDLE)
        return "Unknown";
    return kPhaseNames[phase];
}

int WebGet_CloseConnection(WebGetStruct *web, int force) {
    ZYL_CHECK_TAG(web, WebGetTag);
    if ((force || !web->Settings.KeepAlive) && Socket_IsOpen(web->Socket)) {
        Socket_Shutdown(web->Socket);
        Socket_Close(web->Socket);
    }
    if (!Socket_IsOpen(web->Socket))
        web->ConnectedHost[0] = '\0';
    return 1;
}

int WebGet_Stop(WebGetStruct *web) {
    ZYL_CHECK_TAG(web, WebGetTag);
    WebGet_CloseConnection(web, 1);
    WebGet_SetPhase(web, WEBGET_PHASE_IDLE);
    memset(web->PhaseTimes, 0, sizeof web->PhaseTimes);
    web->RequestStart = 0.0;
    return 1;
}

// One step of the machine. Returns 0 when the request has ended (or none is
// under way), with *delayMs the time the caller may sleep before the next step.
static int Step(WebGetStruct *web, int *success, int *delayMs) {
    *delayMs = 0;
    int first = web->PhaseChanged;
    web->PhaseChanged = 0;
    web->Progressed = 0;
    switch (web->Phase) {
    case WEBGET_PHASE_QUEUED:
        StepQueued(web);
        break;
    case WEBGET_PHASE_STARTUP:
    case WEBGET_PHASE_RETRY:
        *delayMs = StepStartup(web);
        if (*delayMs > 0)
            web->PhaseChanged = first; // still the same step to come
        break;
    case WEBGET_PHASE_LOOKUP:
        WebGet_Lookup(web);
        break;
    case WEBGET_PHASE_CONNECT:
        StepConnect(web, first);
        break;
    case WEBGET_PHASE_REQUEST:
        StepRequest(web, first);
        break;
    case WEBGET_PHASE_HEADER:
        StepHeader(web);
        break;
    case WEBGET_PHASE_BODY:
        StepBody(web, first);
        break;
    case WEBGET_PHASE_EVALUATE:
        StepEvaluate(web);
        break;
    case WEBGET_PHASE_CLEANUP:
        StepCleanup(web);
        *success = web->Success;
        return 0;
    case WEBGET_PHASE_DONE:
    case WEBGET_PHASE_IDLE:
        StepIdle(web);
        return 0;
    default:
        Zyl_Print("Unknown phase [%d]\n", web->Phase);
        return 0;
    }
    CheckTimeouts(web);
    return 1;
}

int WebGet_Process(WebGetStruct *web, int *success) {
    ZYL_CHECK_TAG(web, WebGetTag);
    ZYL_CHECK_PTR(success);
    *success = 0;
    for (;;) {
        int delayMs = 0;
        if (!Step(web, success, &delayMs))
            return 0;
        if (!web->Settings.Blocking)
            return 1;
        WaitForProgress(web, delayMs);
    }
}

int WebGet_Lookup(WebGetStruct *web) {
    const char *url = web->UseProxy ? web->ProxyURL : web->CurrentURL;
    if (!Socket_ResolveURL(&web->Server, url)) {
        if (web->UseProxy)
            Zyl_Print("Unable to get machine for Proxy URL '%s'\n", url);
        else
            Zyl_Print("Unable to get machine for URL '%s'\n", url);
        RetryWith(web, WEBGET_STATUS_DNS);
        return 0;
    }
    Zyl_StrCopy(web->ResolvedHost, web->Server.Name, sizeof web->ResolvedHost);
    if (!WebGet_RedirectTargetAllowed(web)) {
        if (web->Settings.ReportBlockedRedirect)
            web->Status = WEBGET_STATUS_REDIRECT;
        WebGet_SetPhase(web, WEBGET_PHASE_EVALUATE);
        return 0;
    }
    if (Zyl_StrStartsWithNoCase(web->CurrentURL, "http://") &&
        !Zyl_StrStartsWithNoCase(web->CurrentURL, "http://mailto:")) {
        web->Transport = &web->Plain;
        web->UsingSecure = 0;
    } else if (Zyl_StrStartsWithNoCase(web->CurrentURL, "https://")) {
        if (!web->Settings.HttpsAllowed || web->Secure.Connect == nullptr) {
            Zyl_Print("SSL transport not initialized '%s'\n", web->CurrentURL);
            RetryWith(web, WEBGET_STATUS_TRANSPORT);
            return 0;
        }
        web->Transport = &web->Secure;
        web->UsingSecure = 1;
    } else {
        Zyl_Print("Unsupported transport type '%s'\n", web->CurrentURL);
        RetryWith(web, WEBGET_STATUS_TRANSPORT);
        return 0;
    }
    WebGet_SetPhase(web, WEBGET_PHASE_CONNECT);
    return 1;
}

int WebGet_Connect(WebGetStruct *web) {
    ZYL_CHECK_TAG(web, WebGetTag);
    int first = web->PhaseChanged;
    web->PhaseChanged = 0;
    StepConnect(web, first);
    return web->Phase != WEBGET_PHASE_RETRY;
}

int WebGet_ReadHeader(WebGetStruct *web) {
    ZYL_CHECK_TAG(web, WebGetTag);
    StepHeader(web);
    return web->Phase != WEBGET_PHASE_RETRY;
}
