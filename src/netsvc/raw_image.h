// The raw image cache: GIF and JPEG images fetched from remote agents by
// URL, decoded once and kept with the bytes as received. An image that is
// not cached is fetched in the background over a session (one fetch task
// per remote server, images of one server one after another); callers that
// ask while it is being fetched are told through their callback. The cache
// keeps at most 100 images, dropping the least recently used that is no
// longer being fetched.
//
// Nothing in the program starts the cache: a client calls init_zu_ri and
// then asks for images.
//
// Pixels are packed one per 32-bit word: red x 4 in bits 0-9, green x 4 in
// bits 10-19, blue x 4 in bits 20-29 (each 8-bit value shifted left by 2).
//
// The pixels and bytes handed out belong to the cache. They stay valid
// until the image leaves it (delete_ri, or eviction, which takes the least
// recently used first: an image just asked for goes only after 99 others
// have been asked for or fetched since).
#pragma once

#include <cstdint>
#include <vector>

#include "base/avl.h"
#include "base/queue.h"
#include "text/lchar.h"
#include "zu/value.h"

struct RAW_IMAGE;
struct RI_QUEUE;

// A waiting caller's callback: op, its entry, and (op 2) the caller's data.
using ri_que_cf = int (*)(int op, RI_QUEUE* entry, void* arg);
// Operations of the callback.
constexpr int RI_OP_ENDED = 1;     // the fetch has ended: the image is ready or failed
constexpr int RI_OP_SETUP = 2;     // the entry was made: set up entry->data from arg
constexpr int RI_OP_SAME = 3;      // asked again while fetching: 0 when this entry serves it
constexpr int RI_OP_RELEASE = 4;   // release entry->data (after op 1, or a withdrawal)
constexpr int RI_OP_WITHDRAW = 5;  // every 30 s while fetching: non-zero withdraws the request

// A caller waiting for an image.
struct RI_QUEUE {
  RI_QUEUE* next;
  RAW_IMAGE* ri;
  void* data;  // the caller's
  ri_que_cf call_function;
};

// An image's queue header, then the links of the recency ring.
struct RAW_IMAGE_HEADER {
  Q_HEADER q;
  RAW_IMAGE* ri_next;  // towards the less recently used
  RAW_IMAGE* ri_prev;
};

// Image states.
constexpr int RI_FETCHING = 1;
constexpr int RI_READY = 0;
constexpr int RI_FAILED = -1;

struct RAW_IMAGE {
  RAW_IMAGE_HEADER h;
  L_CHAR* path;     // the image's URL (owned): the key
  int width;
  int height;
  uint32_t* data;   // width * height packed pixels
  uint8_t* ndata;   // the bytes as received
  int ndata_len;
  int err;          // RI_FETCHING, RI_READY or RI_FAILED
  RI_QUEUE* ri_que; // callers waiting
  AVT_NODE node;    // in the index by path
  int holds;        // callers looking at it without the lock: not evicted
};

// Most images the cache keeps once a fetch has ended, and most being
// fetched at once.
constexpr int kRawImageKeep = 99;
constexpr int kRawImageFetchingMax = 1000;

// Starts the cache: its lock, an empty index and ring, the fetch queue
// (one task per server, priority 4) and the tick every 30 seconds. Once.
void init_zu_ri();
// The image at path. Ready: its pixels (*err 0, *w, *h). Failed: null,
// *err -1. Being fetched: null, *err 1, func registered as a waiting
// caller (op 2 with cf_data) unless op 3 of one already registered says
// it serves the request. Not cached: fetched, with func as its first
// waiting caller, *err 1; when 1,000 images are being fetched already, or
// path is not a URL, null with *err -1 and nothing is queued. Every look-up
// makes the image the most recently used. Ops 2, 3 and 5 (and the op 4 of
// a withdrawal) run under the cache's lock and must not call it.
// The pixels stay the cache's: they are valid until the image leaves it
// (delete_ri, or eviction once more than kRawImageKeep images have ended),
// which another task's fetch may cause at any time; copy them first.
uint32_t* zu_get_ri(int* err, int* w, int* h, ri_que_cf func, void* cf_data, const L_CHAR* path);
// The bytes as received: asks like zu_get_ri without a callback and waits
// while the image is being fetched. *err the state; ready: *len bytes,
// failed: null and *len -1. The bytes stay the cache's, as zu_get_ri's
// pixels do.
uint8_t* zu_search_ri_org(int* err, int* len, const L_CHAR* path);
// Removes an image whose fetch has ended and that nobody waits on, with
// its buffers: 0, or -1 (not cached, being fetched, or waited on).
int delete_ri(const L_CHAR* path);
// The tick: every waiting caller of an image being fetched is asked op 5;
// one that withdraws gets op 4 and is forgotten.
void ri_tick(void* unused);
// Number of images cached and being fetched (for tests).
void ri_counts(int* cached, int* fetching);

// ---- inside the fetch
// The fetch task of one server key: a session, then the key's images one
// by one.
void fetch_task(TKEY queue);
// Asks the image's agent for its bytes over session sid: (Get path) with
// agent "standard", login mode "user" and centre command "Get"; the raw
// members of the reply joined. 0, or -1 after a line on the standard error.
int get_from_network(RAW_IMAGE* ri, int sid, std::vector<uint8_t>* bytes);
// Decodes bytes by the extension of path (".gif", ".jpg", ".jpeg") into
// packed pixels (a tagged block), or null with *w = *h = 0 and *err the
// error "undefined the image data" (an unknown extension, bytes that do
// not decode, more than 2^28 pixels).
uint32_t* decompress(int* w, int* h, ZU_SEXP** err, const uint8_t* bytes, int len, const L_CHAR* path);
