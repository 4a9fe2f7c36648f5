// qmxImportUTM: resamples a raster held in the plane coordinates of one UTM
// zone (the source matrix) into a matrix laid out in longitude and latitude
// (the target), nearest pixel.
//
// Target pixel (x, y) of level 0 lies at longitude offset_x + x / reso_x
// and latitude offset_y + y / reso_y (degrees). Every such pixel whose
// longitude lies inside the zone (zone width centred on the meridian
// 6 z - 183, and again 360 degrees east of it) is projected onto the zone's
// transverse Mercator plane (X northing, Y easting; false easting 500000,
// false northing 10000000 in the south, scale 0.9996); the plane position
// becomes a source pixel, rounded to the nearest (ties to even), whose word
// is copied into the target. Pixels that fall outside the zone, outside the
// source, or on source nodes that cannot be had are left as they were. A
// target node that cannot be written (it does not become ready, or its
// fetch fails) keeps its pixels too, and the command ends with the error a
// node read gives, 0x80040501 ("invalid object in channel of NODE" "others"
// (-103 or -102 dimcode)), naming the first; the other nodes are written.
//
// The work runs block by block of the target: a block whose projected
// corners miss the source's plane extent is skipped whole; the source
// pixels of a block are read node by node of the source (grouped by the
// source's own block sizes) straight from the node the source cache holds;
// the target node is fetched once per block and written in place.
//
// Both entries are held with their command locks for the whole command,
// taken in ascending id order; the source cache reads (nothing created
// there), the target cache creates what it writes. Both matrices' channels
// must hold vectors of four-byte elements.
#pragma once

#include <cstdint>

#include "agent/mx_entry.h"
#include "codec/tmerc.h"
#include "zu/env.h"

// What one import asks for, filled from the command and read by the two
// zone passes.
struct UTM_DATA {
  double offset_x, offset_y;   // longitude, latitude of target pixel (0, 0)
  double reso_x, reso_y;       // target pixels per degree
  int32_t UTMno;               // zone number, negative in the south
  ELIPSOID ep;
  double utm_end_north, utm_st_south;    // latitude range of the hemisphere
  double utm_st_west[2], utm_end_east[2];  // longitude range: the zone, and it + 360
  MX_ENTRY* m_bl;              // target
  int32_t bl_channel;
  MX_ENTRY* m_utm;             // source
  int32_t utm_channel;
  double zone_offset_x, zone_offset_y;   // plane position of source pixel (0, 0)
  QN_RECT zone_minrect;        // the source's plane extent (x holds X, y holds Y)
  double zone_reso_x, zone_reso_y;       // source pixels per plane unit
  double zone_width;           // degrees
  unsigned XY_dir : 1;         // 1: source x from X and y from Y; 0: exchanged
};

// (qmxImportUTM offset_x offset_y reso_x reso_y zone (zone_offset_x
// zone_offset_y) ((x1 y1) (x2 y2)) (zone_reso_x zone_reso_y) a b) with id,
// utmid, ch and optionally utmch, zwidth and XYdir: nil.
ZU_SEXP* qn_qmxImportUTM(ZUISP_ENV* env, ZU_SEXP* form, ZUISP_ENV* args_env, ZU_SYM_FIELD* sf, ZUISP_ENV* sp_env);

// The pieces of the passes, for tests.
// A longitude taken to the side of centre k: itself within 90 degrees of
// k, else 360 degrees less.
double zone_lambda_adjust(double lambda, double k);
// Bounds a tile-range dim code {0, x, y} to the target: negative
// coordinates become 0, ones at or past the pixel size P become P rounded
// up to a whole block; the level becomes 0.
void boundary_setup(int64_t* dc, const int64_t* pixel_size, const int* block_bits);
// Whether the target block at (x, y) of bx by by pixels may reach the
// source: its corners (and two points on the centre meridian when the
// block straddles it) projected with the pass's ellipsoid, their bounding
// box compared with zone_minrect (touching counts).
bool check_in_zone(const UTM_DATA& u, int pass, int64_t x, int64_t y, int64_t bx, int64_t by);
