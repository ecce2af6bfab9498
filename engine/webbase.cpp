// The web-seed manager: members per reliable source, their start and stop with
// the download, the tick over their web peers, summed totals and rates, piece
// availability and the per-file redirect bases. Lists are short (a few sources).
#include "engine/webbase.h"

#include "core/alert.h"
#include "core/mutex.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/manager.h"
#include "engine/piece.h"
#include "engine/slice.h"
#include "engine/transport.h"
#include "engine/urllist.h"
#include "engine/webpeer.h"

static const char kWebTag[] = "WebBaseStruct";
static const char kMemberTag[] = "WebBaseMemberStruct";
static const char kRedirectListTag[] = "WebBaseRedirectStructLinked";

int WebBase_Create(WebBaseStruct **web) {
    ZYL_CHECK_PTR(web);
    WebBaseStruct *w = ZYL_NEW(WebBaseStruct);
    w->Tag = kWebTag;
    Mutex_Create(&w->Mutex);
    w->Order = PIECE_ORDER_SCARCITY;
    w->ReserveMaxPieces = 1;
    w->Redirects.Tag = kRedirectListTag;
    Zyl_StrCopy(w->Status, "Initialized", sizeof w->Status);
    *web = w;
    return 1;
}

static void InternalFreeMember(WebBaseMemberStruct *m) {
    WebPeer_Destroy(&m->Peer);
    m->Tag = Zyl_DeadTag;
    ZYL_FREE(m, sizeof(WebBaseMemberStruct));
}

static void InternalUnlink(WebBaseStruct *w, WebBaseMemberStruct *m) {
    if (m->Previous)
        m->Previous->Next = m->Next;
    else
        w->First = m->Next;
    if (m->Next)
        m->Next->Previous = m->Previous;
    m->Next = m->Previous = nullptr;
}

// Frees retired members nobody iterates over. Caller holds the mutex.
static void InternalPurge(WebBaseStruct *w) {
    WebBaseMemberStruct *m = w->First;
    while (m) {
        WebBaseMemberStruct *next = m->Next;
        if (m->Retired && m->InUse == 0) {
            InternalUnlink(w, m);
            InternalFreeMember(m);
        }
        m = next;
    }
}

// Adds the peer's totals to the retired totals and marks the member. Caller
// holds the mutex.
static void InternalRetire(WebBaseStruct *w, WebBaseMemberStruct *m) {
    if (m->Retired)
        return;
    int64_t received = 0, sent = 0, verified = 0, failed = 0, discarded = 0;
    if (m->Peer)
        WebPeer_GetTotals(m->Peer, &received, &sent, &verified, &failed, &discarded);
    w->Received += received;
    w->Sent += sent;
    w->Verified += verified;
    w->Failed += failed;
    w->Discarded += discarded;
    w->LiveCount--;
    m->Retired = 1;
}

static void InternalFreeRedirects(WebBaseStruct *w) {
    WebBaseRedirectStruct *r = w->Redirects.First;
    while (r) {
        WebBaseRedirectStruct *next = r->Next;
        ZYL_FREE(r, sizeof(WebBaseRedirectStruct));
        r = next;
    }
    w->Redirects.First = w->Redirects.Last = nullptr;
    w->Redirects.Count = 0;
}

int WebBase_Destroy(WebBaseStruct **web) {
    ZYL_CHECK_PTR(web);
    WebBaseStruct *w = *web;
    if (w == nullptr)
        return 1;
    ZYL_CHECK_TAG(w, kWebTag);
    *web = nullptr;
    WebBase_SetActive(w, 0);
    InternalFreeRedirects(w);
    MUTEX_LOCK(w->Mutex);
    for (WebBaseMemberStruct *m = w->First; m; m = m->Next) {
        if (m->InUse != 0) {
            char who[WEBBASE_TEXT_SIZE + 16];
            if (m->Peer)
                Zyl_FormatString(who, sizeof who, "Peer [%s]", m->Peer->URL);
            else
                Zyl_FormatString(who, sizeof who, "Null peer [%.8X]", Manager_HandleId(m));
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                      "WebBase member instance still in use (%d:%s)", (int)m->InUse, who);
        }
        InternalRetire(w, m);
    }
    // Every member goes: nothing iterates once the download is being destroyed.
    while (w->First) {
        WebBaseMemberStruct *m = w->First;
        InternalUnlink(w, m);
        InternalFreeMember(m);
    }
    MUTEX_UNLOCK(w->Mutex);
    Mutex_Close(&w->Mutex);
    w->Tag = Zyl_DeadTag;
    ZYL_FREE(w, sizeof(WebBaseStruct));
    return 1;
}

int WebBase_SetParent(WebBaseStruct *web, BaseStruct *base) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(base);
    if (web->Base != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    web->Base = base;
    Base_GetParent(base, &web->Manager);
    Base_GetContent(base, &web->Content);
    return 1;
}

// ---------------------------------------------------------------------------
// Members
// ---------------------------------------------------------------------------

static WebBaseMemberStruct *InternalFindURL(WebBaseStruct *w, const char *url) {
    for (WebBaseMemberStruct *m = w->First; m; m = m->Next)
        if (!m->Retired && m->Peer && Zyl_StrEqualNoCase(m->Peer->URL, url))
            return m;
    return nullptr;
}

// Retires members whose source left the list, adds one per new source.
static void InternalScan(WebBaseStruct *w) {
    URLListStruct *list = nullptr;
    if (w->Content == nullptr || !Content_GetReliableList(w->Content, &list) || list == nullptr)
        return;
    int count = 0;
    URLList_GetCount(list, &count);
    Zyl_Print("Scanning reliable sources (%d)\n", count);
    MUTEX_LOCK(w->Mutex);
    for (WebBaseMemberStruct *m = w->First; m; m = m->Next) {
        if (m->Retired || m->Peer == nullptr)
            continue;
        int found = 0;
        URLListMemberStruct *e = nullptr;
        for (int more = URLList_GetFirst(list, &e); more && !found;
             more = URLListMember_GetNext(e, &e)) {
            const char *url = nullptr;
            URLListMember_GetURLPointer(e, &url);
            found = url && Zyl_StrEqualNoCase(url, m->Peer->URL);
        }
        if (!found) {
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Removing reliable source [%s]",
                      m->Peer->URL);
            InternalRetire(w, m);
        }
    }
    MUTEX_UNLOCK(w->Mutex);
    URLListMemberStruct *e = nullptr;
    for (int more = URLList_GetFirst(list, &e); more; more = URLListMember_GetNext(e, &e)) {
        const char *url = nullptr, *id = nullptr;
        URLListMember_GetURLPointer(e, &url);
        URLListMember_GetIdPointer(e, &id);
        if (url == nullptr || url[0] == 0)
            continue;
        MUTEX_LOCK(w->Mutex);
        WebBaseMemberStruct *m = InternalFindURL(w, url);
        MUTEX_UNLOCK(w->Mutex);
        if (m)
            continue;
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Adding reliable source [%s] [%s]", url,
                  id ? id : "");
        WebPeerStruct *peer = nullptr;
        WebBase_AddMember(w, url, id ? id : "", &peer);
    }
}

int WebBase_SetActive(WebBaseStruct *web, int active) {
    ZYL_CHECK_TAG(web, kWebTag);
    const int on = active == 1 ? 1 : 0;
    if (on == web->Active)
        return 1;
    if (on) {
        if (!MUTEX_LOCK(web->Mutex))
            return 0;
        web->Sent = web->Received = web->Verified = web->Failed = web->Discarded = 0;
        web->Active = 1;
        MUTEX_UNLOCK(web->Mutex);
        InternalScan(web);
    } else {
        web->Active = 0;
    }
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    for (WebBaseMemberStruct *m = web->First; m; m = m->Next)
        if (!m->Retired && m->Peer)
            WebPeer_SetState(m->Peer, on ? WEBPEER_STATE_STARTUP : WEBPEER_STATE_SHUTDOWN);
    MUTEX_UNLOCK(web->Mutex);
    return 1;
}

int WebBase_GetActive(WebBaseStruct *web, int *active) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(active);
    *active = web->Active;
    return 1;
}

int WebBase_AddMember(WebBaseStruct *web, const char *url, const char *id, WebPeerStruct **peer) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(url);
    ZYL_CHECK_PTR(peer);
    *peer = nullptr;
    WebBaseMemberStruct *m = ZYL_NEW(WebBaseMemberStruct);
    m->Tag = kMemberTag;
    WebPeer_Create(&m->Peer);
    WebPeerStruct *p = m->Peer;
    if (web->Base)
        WebPeer_SetParent(p, web->Base);
    WebPeer_EnableLog(p);
    WebPeer_SetURL(p, url);
    WebPeer_SetID(p, id ? id : "");
    WebPeer_SetState(p, WEBPEER_STATE_STARTUP);
    if (!MUTEX_LOCK(web->Mutex)) {
        InternalFreeMember(m);
        return 0;
    }
    WebPeer_SetOrder(p, web->Order);
    m->Next = web->First;
    if (web->First)
        web->First->Previous = m;
    web->First = m;
    web->LiveCount++;
    web->AddedCount++;
    MUTEX_UNLOCK(web->Mutex);
    *peer = p;
    return 1;
}

int WebBase_RemovePeer(WebBaseStruct *web, WebPeerStruct *peer) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(peer);
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    int found = 0;
    for (WebBaseMemberStruct *m = web->First; m && !found; m = m->Next) {
        if (m->Peer == peer && !m->Retired) {
            InternalRetire(web, m);
            found = 1;
        }
    }
    MUTEX_UNLOCK(web->Mutex);
    return found;
}

static WebBaseMemberStruct *InternalLive(WebBaseMemberStruct *m) {
    while (m && m->Retired)
        m = m->Next;
    return m;
}

int WebBase_First(WebBaseStruct *web, WebBaseMemberStruct **member) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    WebBaseMemberStruct *m = InternalLive(web->First);
    if (m)
        m->InUse++;
    MUTEX_UNLOCK(web->Mutex);
    *member = m;
    return m ? 1 : 0;
}

int WebBase_Next(WebBaseStruct *web, WebBaseMemberStruct *member, WebBaseMemberStruct **next) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(next);
    *next = nullptr;
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    if (member->InUse > 0)
        member->InUse--;
    WebBaseMemberStruct *m = InternalLive(member->Next);
    if (m)
        m->InUse++;
    MUTEX_UNLOCK(web->Mutex);
    *next = m;
    return m ? 1 : 0;
}

int WebBase_Release(WebBaseStruct *web, WebBaseMemberStruct *member) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_TAG(member, kMemberTag);
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    if (member->InUse > 0)
        member->InUse--;
    MUTEX_UNLOCK(web->Mutex);
    return 1;
}

int WebBase_GetPeer(WebBaseMemberStruct *member, WebPeerStruct **peer) {
    ZYL_CHECK_TAG(member, kMemberTag);
    ZYL_CHECK_PTR(peer);
    *peer = member->Peer;
    return member->Peer ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

int WebBase_SetChunkSelection(WebBaseStruct *web, int mode) {
    ZYL_CHECK_TAG(web, kWebTag);
    web->Order = mode;
    char name[PIECE_NAME_SIZE];
    Piece_GetOrderName(mode, name);
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "WebBase chunk selection set to %s", name);
    return 1;
}

int WebBase_SetStaggeredRequests(WebBaseStruct *web, int on) {
    ZYL_CHECK_TAG(web, kWebTag);
    on = on ? 1 : 0;
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    if (on == web->Staggered) {
        MUTEX_UNLOCK(web->Mutex);
        return 1;
    }
    web->Staggered = on;
    MUTEX_UNLOCK(web->Mutex);
    if (on)
        return 1;
    // Twins made for the turns are not wanted any more: all but the newest go.
    WebBaseMemberStruct *m = nullptr;
    int first = 1;
    for (int more = WebBase_First(web, &m); more; more = WebBase_Next(web, m, &m)) {
        if (!first && m->Peer)
            WebPeer_Fail(m->Peer, "Staggered requests disabled");
        first = 0;
    }
    return 1;
}

int WebBase_GetStaggeredRequests(WebBaseStruct *web) {
    ZYL_CHECK_TAG(web, kWebTag);
    return web->Order == PIECE_ORDER_SEQUENTIAL ? 0 : web->Staggered;
}

int WebBase_SetReserveMaxPieces(WebBaseStruct *web, int count) {
    ZYL_CHECK_TAG(web, kWebTag);
    if (count < 1) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "ReserveMaxPieces must be at least 1 (%d) - using 1", count);
        count = 1;
    }
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    web->ReserveMaxPieces = count;
    MUTEX_UNLOCK(web->Mutex);
    return 1;
}

int WebBase_GetReserveMaxPieces(WebBaseStruct *web) {
    ZYL_CHECK_TAG(web, kWebTag);
    if (!MUTEX_LOCK(web->Mutex))
        return 1;
    const int n = web->ReserveMaxPieces;
    MUTEX_UNLOCK(web->Mutex);
    return n;
}

int WebBase_SetPeerLogging(WebBaseStruct *web, int on) {
    ZYL_CHECK_TAG(web, kWebTag);
    web->PeerLogging = on ? 1 : 0;
    return 1;
}

int WebBase_GetPeerLogging(WebBaseStruct *web) {
    ZYL_CHECK_TAG(web, kWebTag);
    return web->PeerLogging;
}

// ---------------------------------------------------------------------------
// Tick, frequency, totals and rates
// ---------------------------------------------------------------------------

int WebBase_AddFrequency(WebBaseStruct *web, uint8_t *counts, int count) {
    ZYL_CHECK_TAG(web, kWebTag);
    if (count <= 0)
        return 1;
    ZYL_CHECK_PTR(counts);
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    const int live = web->LiveCount;
    MUTEX_UNLOCK(web->Mutex);
    if (live <= 0)
        return 1;
    int capped = 0;
    for (int i = 0; i < count; i++) {
        if (counts[i] >= PIECE_MAX_FREQUENCY)
            continue;
        int sum = counts[i] + live;
        if (sum > PIECE_MAX_FREQUENCY) {
            sum = PIECE_MAX_FREQUENCY;
            capped = 1;
        }
        counts[i] = (uint8_t)sum;
    }
    if (capped)
        for (int i = 0; i < count; i++)
            if (counts[i] > 1)
                counts[i] >>= 1;
    return 1;
}

int WebBase_IsFetching(WebBaseStruct *web, int index) {
    ZYL_CHECK_TAG(web, kWebTag);
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    int found = 0;
    for (WebBaseMemberStruct *m = web->First; m && !found; m = m->Next) {
        SliceStruct *queue = nullptr;
        if (!m->Retired && m->Peer && WebPeer_GetQueue(m->Peer, &queue))
            found = Slice_ContainsPiece(queue, index);
    }
    MUTEX_UNLOCK(web->Mutex);
    return found;
}

static double InternalPositive(double v) {
    return v > 0 ? v : 0;
}

static void InternalUpdateRates(WebBaseStruct *w) {
    double inCur = 0, inAvg = 0, inPeak = 0, outCur = 0, outAvg = 0, outPeak = 0;
    if (!MUTEX_LOCK(w->Mutex))
        return;
    for (WebBaseMemberStruct *m = w->First; m; m = m->Next) {
        TransportStruct *t = nullptr;
        if (m->Retired || m->Peer == nullptr || !WebPeer_GetTransport(m->Peer, &t) || !t)
            continue;
        double r = 0, s = 0;
        Transport_GetCurrentRates(t, &r, &s);
        inCur += InternalPositive(r);
        outCur += InternalPositive(s);
        r = s = 0;
        Transport_GetAverageRates(t, &r, &s);
        inAvg += InternalPositive(r);
        outAvg += InternalPositive(s);
        r = s = 0;
        Transport_GetPeakRates(t, &r, &s);
        inPeak = r > inPeak ? r : inPeak;
        outPeak = s > outPeak ? s : outPeak;
    }
    w->InCurrent = inCur;
    w->InAverage = inAvg;
    w->OutCurrent = outCur;
    w->OutAverage = outAvg;
    const double inMax = inPeak > inCur ? inPeak : inCur;
    const double outMax = outPeak > outCur ? outPeak : outCur;
    w->InMaximum = inMax > w->InMaximum ? inMax : w->InMaximum;
    w->OutMaximum = outMax > w->OutMaximum ? outMax : w->OutMaximum;
    MUTEX_UNLOCK(w->Mutex);
}

int WebBase_Process(WebBaseStruct *web) {
    ZYL_CHECK_TAG(web, kWebTag);
    WebBaseMemberStruct *m = nullptr;
    for (int more = WebBase_First(web, &m); more; more = WebBase_Next(web, m, &m)) {
        WebPeerStruct *peer = nullptr;
        if (WebBase_GetPeer(m, &peer) && !m->Retired)
            WebPeer_Process(peer);
    }
    InternalUpdateRates(web);
    if (MUTEX_LOCK(web->Mutex)) {
        InternalPurge(web);
        MUTEX_UNLOCK(web->Mutex);
    }
    return 1;
}

int WebBase_GetTotals(WebBaseStruct *web, int64_t *received, int64_t *sent, int64_t *verified,
                      int64_t *failed, int64_t *discarded) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(received);
    ZYL_CHECK_PTR(sent);
    ZYL_CHECK_PTR(verified);
    ZYL_CHECK_PTR(failed);
    ZYL_CHECK_PTR(discarded);
    *received = *sent = *verified = *failed = *discarded = 0;
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    int64_t r = web->Received, s = web->Sent, v = web->Verified, f = web->Failed,
            d = web->Discarded;
    for (WebBaseMemberStruct *m = web->First; m; m = m->Next) {
        if (m->Retired || m->Peer == nullptr)
            continue;
        int64_t a = 0, b = 0, c = 0, e = 0, g = 0;
        WebPeer_GetTotals(m->Peer, &a, &b, &c, &e, &g);
        r += a;
        s += b;
        v += c;
        f += e;
        d += g;
    }
    MUTEX_UNLOCK(web->Mutex);
    *received = r;
    *sent = s;
    *verified = v;
    *failed = f;
    *discarded = d;
    return 1;
}

int WebBase_GetTransferTotals(WebBaseStruct *web, TransferTotalsStruct *totals) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(totals);
    int64_t r = 0, s = 0, v = 0, f = 0, d = 0;
    const int ok = WebBase_GetTotals(web, &r, &s, &v, &f, &d);
    totals->Received = (uint64_t)r;
    totals->Sent = (uint64_t)s;
    totals->Confirmed = (uint64_t)v;
    totals->Corrupt = (uint64_t)f;
    totals->Discarded = (uint64_t)d;
    return ok;
}

int WebBase_GetIncomingRates(WebBaseStruct *web, double *current, double *average,
                             double *maximum) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(current);
    ZYL_CHECK_PTR(average);
    ZYL_CHECK_PTR(maximum);
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    *current = web->InCurrent;
    *average = web->InAverage;
    *maximum = web->InMaximum;
    MUTEX_UNLOCK(web->Mutex);
    return 1;
}

int WebBase_GetOutgoingRates(WebBaseStruct *web, double *current, double *average,
                             double *maximum) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(current);
    ZYL_CHECK_PTR(average);
    ZYL_CHECK_PTR(maximum);
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    *current = web->OutCurrent;
    *average = web->OutAverage;
    *maximum = web->OutMaximum;
    MUTEX_UNLOCK(web->Mutex);
    return 1;
}

int WebBase_GetMemberCount(WebBaseStruct *web, int64_t *live, int64_t *other) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(live);
    ZYL_CHECK_PTR(other);
    *other = 0;
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    *live = web->LiveCount;
    MUTEX_UNLOCK(web->Mutex);
    return 1;
}

static char InternalLetter(int state) {
    switch (state) {
    case WEBPEER_STATE_INACTIVE:
        return 'I';
    case WEBPEER_STATE_STARTUP:
        return 'S';
    case WEBPEER_STATE_CONTACT:
        return 'C';
    case WEBPEER_STATE_GOOD:
        return 'G';
    case WEBPEER_STATE_SHUTDOWN:
        return 'X';
    case WEBPEER_STATE_FAILURE:
        return 'F';
    case WEBPEER_STATE_CLOSE:
        return 'D';
    default:
        return '?';
    }
}

int WebBase_GetStatusLetters(WebBaseStruct *web, char *text) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(text);
    text[0] = 0;
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    int n = 0;
    for (WebBaseMemberStruct *m = web->First; m; m = m->Next) {
        if (m->Retired || m->Peer == nullptr)
            continue;
        if (n >= WEBBASE_STATUS_LETTERS) {
            Zyl_StrCopy(text + n, "...", WEBBASE_TEXT_SIZE - n);
            break;
        }
        if (n > 0)
            text[n++] = ' ';
        text[n++] = InternalLetter(m->Peer->State);
        text[n] = 0;
    }
    MUTEX_UNLOCK(web->Mutex);
    return 1;
}

int WebBase_PrintStatus(WebBaseStruct *web) {
    ZYL_CHECK_TAG(web, kWebTag);
    char letters[WEBBASE_TEXT_SIZE];
    WebBase_GetStatusLetters(web, letters);
    if (letters[0] == 0)
        return 1;
    char name[WEBBASE_TEXT_SIZE] = "";
    if (web->Content)
        Content_GetSourceFileName(web->Content, name, 21);
    Zyl_Print("%10s:         Web = D:%4d/%4d      [%3d    :%s]\n", name,
              (int)(web->InAverage / 1024), (int)(web->InCurrent / 1024), web->LiveCount, letters);
    return 1;
}

// ---------------------------------------------------------------------------
// Redirect bases
// ---------------------------------------------------------------------------

int WebBase_RedirectAdd(WebBaseStruct *web, const char *redirect, const char *key) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(redirect);
    ZYL_CHECK_PTR(key);
    uint32_t crc = 0;
    Zyl_StrCrc32(key, 0, &crc);
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    WebBaseRedirectListStruct *list = &web->Redirects;
    WebBaseRedirectStruct *after = nullptr;
    for (WebBaseRedirectStruct *r = list->First; r && r->Crc <= crc; r = r->Next) {
        if (r->Crc == crc && Zyl_StrEqualNoCase(r->Key, key)) {
            Zyl_StrCopy(r->Base, redirect, sizeof r->Base);
            MUTEX_UNLOCK(web->Mutex);
            return 1;
        }
        after = r;
    }
    WebBaseRedirectStruct *n = ZYL_NEW(WebBaseRedirectStruct);
    n->Crc = crc;
    Zyl_StrCopy(n->Key, key, sizeof n->Key);
    Zyl_StrCopy(n->Base, redirect, sizeof n->Base);
    n->Previous = after;
    n->Next = after ? after->Next : list->First;
    if (n->Next)
        n->Next->Previous = n;
    else
        list->Last = n;
    if (after)
        after->Next = n;
    else
        list->First = n;
    list->Count++;
    MUTEX_UNLOCK(web->Mutex);
    return 1;
}

int WebBase_RedirectFind(WebBaseStruct *web, const char *key, char *redirect) {
    ZYL_CHECK_TAG(web, kWebTag);
    ZYL_CHECK_PTR(key);
    ZYL_CHECK_PTR(redirect);
    redirect[0] = 0;
    uint32_t crc = 0;
    Zyl_StrCrc32(key, 0, &crc);
    if (!MUTEX_LOCK(web->Mutex))
        return 0;
    for (WebBaseRedirectStruct *r = web->Redirects.First; r && r->Crc <= crc; r = r->Next) {
        if (r->Crc == crc && Zyl_StrEqualNoCase(r->Key, key)) {
            Zyl_StrCopy(redirect, r->Base, WEBBASE_TEXT_SIZE);
            break;
        }
    }
    MUTEX_UNLOCK(web->Mutex);
    return redirect[0] != 0 ? 1 : 0;
}
