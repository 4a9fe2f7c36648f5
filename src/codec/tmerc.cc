#include "codec/tmerc.h"

#include <cmath>
#include <cstdio>

namespace {

double meridian_arc(double a, double e2, double phi) {
  const double e4 = e2 * e2, e6 = e4 * e2, e8 = e4 * e4;
  const double s2 = std::sin(2 * phi), s4 = std::sin(4 * phi), s6 = std::sin(6 * phi), s8 = std::sin(8 * phi);
  return a * (phi + e2 * (-1.0 / 4 * phi - 3.0 / 8 * s2) +
              e4 * (-3.0 / 64 * phi - 3.0 / 32 * s2 + 15.0 / 256 * s4) +
              e6 * (-5.0 / 256 * phi - 45.0 / 1024 * s2 + 45.0 / 1024 * s4 - 35.0 / 3072 * s6) +
              e8 * (-175.0 / 16384 * phi - 105.0 / 4096 * s2 + 525.0 / 16384 * s4 - 175.0 / 12288 * s6 +
                    315.0 / 131072 * s8));
}

// Everything of the series that depends on the latitude alone: the
// easting is l (y1 + l^2 (y3 + l^2 y5)), the northing S + l^2 (x2 + l^2 (x4
// + l^2 x6)).
struct LatTerms {
  double a = NAN, b = NAN, phi = NAN;  // the key
  double S, y1, y3, y5, x2, x4, x6;
};

LatTerms lat_terms(double a, double b, double phi) {
  E_WORK w{nullptr, phi, 0, 0, 0, 0, 0, 0};
  ELIPSOID ep{};
  ep.a = a;
  ep.b = b;
  w.ep = &ep;
  get_e(&w);
  get_r(&w);
  get_S(&w);
  const double sn = std::sin(phi), cs = std::cos(phi), t2 = std::tan(phi) * std::tan(phi), p = w.N / w.M;
  const double cs3 = cs * cs * cs, cs5 = cs3 * cs * cs;
  LatTerms t;
  t.a = a;
  t.b = b;
  t.phi = phi;
  t.S = w.S;
  t.y1 = w.N * cs;
  t.y3 = w.N / 6 * cs3 * (p - t2);
  t.y5 = w.N / 120 * cs5 * (5 - 18 * t2 + t2 * t2);
  t.x2 = w.N / 2 * sn * cs;
  t.x4 = w.N / 24 * sn * cs3 * (4 * p * p + p - t2);
  t.x6 = w.N / 720 * sn * cs5 * (61 - 58 * t2 + t2 * t2);
  return t;
}

// One memo for the points' latitude and one for the origin's, per thread.
const LatTerms& memo(LatTerms& slot, double a, double b, double phi) {
  if (slot.phi != phi || slot.a != a || slot.b != b) slot = lat_terms(a, b, phi);
  return slot;
}

thread_local LatTerms point_memo, origin_memo;

double origin_northing(const ELIPSOID* ep) {
  if (ep->org_X_enable) return ep->org_X;
  return memo(origin_memo, ep->a, ep->b, ep->org_phi).S;
}

}  // namespace

void get_e(E_WORK* w) {
  const double a = w->ep->a, b = w->ep->b;
  w->e2 = (a * a - b * b) / (a * a);
  w->e = std::sqrt(w->e2);
}

void get_r(E_WORK* w) {
  const double sn = std::sin(w->phi), x = 1 - w->e2 * sn * sn;
  w->N = w->ep->a / std::sqrt(x);
  w->M = w->ep->a * (1 - w->e2) / (x * std::sqrt(x));
}

void get_S(E_WORK* w) { w->S = meridian_arc(w->ep->a, w->e2, w->phi); }

void get_XY_2(const E_WORK* w, double* X, double* Y) {
  const ELIPSOID* ep = w->ep;
  const LatTerms& t = memo(point_memo, ep->a, ep->b, w->phi);
  const double l = w->lambda - ep->org_lambda, l2 = l * l;
  *Y = ep->m0 * (l * (t.y1 + l2 * (t.y3 + l2 * t.y5))) + ep->org_Y0;
  const double xs = t.S + l2 * (t.x2 + l2 * (t.x4 + l2 * t.x6));
  *X = ep->m0 * (xs - origin_northing(ep)) + ep->org_X0;
}

void get_XY_1(const E_WORK* w, double* X, double* Y) {
  const ELIPSOID* ep = w->ep;
  const double sn = std::sin(w->phi), cs = std::cos(w->phi), t2 = std::tan(w->phi) * std::tan(w->phi);
  const double q0 = w->e2 * cs / (1 - w->e2), Q = q0 * q0;
  const double l = w->lambda - ep->org_lambda, l2 = l * l, cs2 = cs * cs;
  *Y = ep->m0 * w->N * cs * (l + l2 * l * cs2 / 6 * (1 - t2 + Q) + l2 * l2 * l * cs2 * cs2 / 120 * (5 - 18 * t2 + 14 * Q)) +
       ep->org_Y0;
  const double xs = w->S + w->N * sn * cs *
                               (l2 / 2 + l2 * l2 * cs2 / 24 * (5 - t2 + 9 * Q + 4 * Q * Q) +
                                l2 * l2 * l2 * cs2 * cs2 / 720 * (61 - 58 * t2 + 270 * Q));
  const double org = ep->org_X_enable ? ep->org_X : meridian_arc(ep->a, w->e2, ep->org_phi);
  *X = ep->m0 * (xs - org) + ep->org_X0;
}

void utm2bl(double* X_ptr, double* Y_ptr, double lambda, double phi, const ELIPSOID* ep) {
  E_WORK w{ep, phi, lambda, 0, 0, 0, 0, 0};
  get_XY_2(&w, X_ptr, Y_ptr);
}

void print_elipsoid(const ELIPSOID* ep) {
  std::fprintf(stderr, "a=%f b=%f e=%f m0=%f org_X0=%f org_Y0=%f org_X=%f org_phi=%f org_lambda=%f org_X_enable=%i\n",
               ep->a, ep->b, ep->e, ep->m0, ep->org_X0, ep->org_Y0, ep->org_X, ep->org_phi, ep->org_lambda,
               static_cast<int>(ep->org_X_enable));
}
