#include <gtest/gtest.h>

#include <cmath>

#include "codec/tmerc.h"

namespace {

ELIPSOID grs80() {
  ELIPSOID ep{};
  ep.a = 6378137.0;
  ep.b = 6356752.314140356;
  ep.m0 = 0.9996;
  ep.org_Y0 = 500000;
  ep.org_X0 = 0;
  ep.org_lambda = 9 * M_PI / 180;
  ep.org_X_enable = 1;
  return ep;
}

TEST(Tmerc, OnTheCentralMeridian) {
  ELIPSOID ep = grs80();
  E_WORK w{&ep, 0.7, ep.org_lambda, 0, 0, 0, 0, 0};
  get_e(&w);
  get_r(&w);
  get_S(&w);
  double X, Y;
  utm2bl(&X, &Y, ep.org_lambda, 0.7, &ep);
  EXPECT_EQ(Y, ep.org_Y0);
  EXPECT_DOUBLE_EQ(X, ep.m0 * w.S);
  utm2bl(&X, &Y, ep.org_lambda, 0, &ep);
  EXPECT_EQ(X, 0);
  EXPECT_EQ(ep.e, 0);  // the record is not written
}

TEST(Tmerc, ASphereAndTheTwoForms) {
  ELIPSOID sphere = grs80();
  sphere.b = sphere.a;
  E_WORK w{&sphere, 0.5, sphere.org_lambda + 0.05, 0, 0, 0, 0, 0};
  get_e(&w);
  get_r(&w);
  get_S(&w);
  EXPECT_EQ(w.e2, 0);
  EXPECT_EQ(w.N, w.M);
  EXPECT_DOUBLE_EQ(w.S, sphere.a * 0.5);
  // The unused second form agrees with the first within a millimetre near
  // the meridian on the sphere, where both series are the same.
  double X1, Y1, X2, Y2;
  get_XY_1(&w, &X1, &Y1);
  get_XY_2(&w, &X2, &Y2);
  EXPECT_NEAR(X1, X2, 1e-3);
  EXPECT_NEAR(Y1, Y2, 1e-3);
}

TEST(Tmerc, TheOriginLatitudeDoesNotDependOnTheFirstPoint) {
  ELIPSOID ep = grs80();
  ep.org_X_enable = 0;
  ep.org_phi = 35 * M_PI / 180;
  double Xa, Ya, Xb, Yb, X0, Y0;
  utm2bl(&Xa, &Ya, 0.2, 0.8, &ep);
  utm2bl(&X0, &Y0, ep.org_lambda, ep.org_phi, &ep);
  utm2bl(&Xb, &Yb, 0.2, 0.8, &ep);
  EXPECT_EQ(Xa, Xb);
  EXPECT_EQ(Ya, Yb);
  EXPECT_NEAR(X0, 0, 1e-9);  // the origin maps to the false northing
  EXPECT_EQ(ep.org_X_enable, 0u);
  // A row at one latitude gives the same values memoised or not.
  ELIPSOID other = ep;
  other.org_X_enable = 1;
  other.org_X = 0;
  double X1, Y1, X2, Y2;
  utm2bl(&X1, &Y1, 0.21, 0.8, &other);
  utm2bl(&X2, &Y2, 0.21, 0.1, &other);
  utm2bl(&X2, &Y2, 0.21, 0.8, &other);
  EXPECT_EQ(X1, X2);
  EXPECT_EQ(Y1, Y2);
}

}  // namespace
