// The transverse Mercator projection of the UTM-zone import: geographic
// positions (radians) to plane coordinates, X the northing and Y the
// easting, in the units of the ellipsoid's axes, by the series to the sixth
// power of the longitude difference and the meridian arc to the fourth
// power of the squared eccentricity.
//
// The ellipsoid record is only read: calls may share one between threads.
// Latitude terms are memoised per thread, so rows of points at one latitude
// cost a few multiplications each.
#pragma once

struct ELIPSOID {
  double a;           // semi-major axis
  double b;           // semi-minor axis
  double e;           // first eccentricity (informational; not written)
  double e2;          // its square (informational; not written)
  double m0;          // scale on the central meridian
  double org_X0;      // false northing
  double org_Y0;      // false easting
  double org_X;       // northing of the origin, when org_X_enable is set
  double org_phi;     // latitude of the origin (radians)
  double org_lambda;  // longitude of the central meridian (radians)
  unsigned org_X_enable : 1;  // clear: the origin northing is the meridian arc at org_phi
};

// The work record of one projection.
struct E_WORK {
  const ELIPSOID* ep;
  double phi;
  double lambda;
  double e;
  double e2;
  double N;  // radius of curvature in the prime vertical
  double M;  // radius of curvature in the meridian
  double S;  // meridian arc from the equator
};

void utm2bl(double* X_ptr, double* Y_ptr, double lambda, double phi, const ELIPSOID* ep);

// The steps, for tests: eccentricity, radii, meridian arc, and the two
// forms of the series (get_XY_1 is the second form; nothing else uses it).
void get_e(E_WORK* w);
void get_r(E_WORK* w);
void get_S(E_WORK* w);
void get_XY_2(const E_WORK* w, double* X, double* Y);
void get_XY_1(const E_WORK* w, double* X, double* Y);

// The record's fields on the standard error stream.
void print_elipsoid(const ELIPSOID* ep);
