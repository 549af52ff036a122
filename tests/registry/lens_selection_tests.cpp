// Picking a lens for an eye: the record's fields reach the eye, number texts
// read as _wtof reads them, and nothing else of the eye changes.
#include <gtest/gtest.h>

#include "conversion/lens_selection.h"

using namespace vistereo;

namespace {

LensRecord quadraticRecord() {
    LensRecord r;
    r.name = "Quad lens";
    r.magnification = "1.05x";
    r.sineK = "";
    r.theta1 = "0.5";
    r.theta2 = " 1e0";
    r.theta3 = "1.3rad";
    r.a1 = "-0.1"; r.b1 = "1.1"; r.c1 = "0.01";
    r.a2 = "-0.2"; r.b2 = "1.2"; r.c2 = "0.02";
    r.a3 = "-0.3"; r.b3 = "1.3"; r.c3 = "0.03";
    r.a4 = "-0.4"; r.b4 = "1.4"; r.c4 = "abc";
    r.radiusMode = 3;
    r.radiusDots = 1520;
    r.mappingKind = 3;
    r.axisX = -12;
    r.axisY = 990;
    r.axisMode = 1;
    return r;
}

TEST(CopyLensRecordToEye, EveryFieldLandsInItsPlace) {
    EyeParams eye;
    eye.imageWidth = 640;
    eye.imageHeight = 480;
    eye.mappingScale = 0.5;
    eye.radius1 = 0.1;
    eye.radius2 = 0.2;
    eye.radius3 = 0.3;
    copyLensRecordToEye(quadraticRecord(), eye);

    EXPECT_EQ(eye.lensName, "Quad lens");
    const struct {
        const char* field;
        double actual, expected;
    } doubles[] = {
        {"magnification", eye.magnification, 1.05}, {"sineK", eye.sineK, 0.0},
        {"theta1", eye.theta1, 0.5},   {"theta2", eye.theta2, 1.0}, {"theta3", eye.theta3, 1.3},
        {"a1", eye.a1, -0.1}, {"b1", eye.b1, 1.1}, {"c1", eye.c1, 0.01},
        {"a2", eye.a2, -0.2}, {"b2", eye.b2, 1.2}, {"c2", eye.c2, 0.02},
        {"a3", eye.a3, -0.3}, {"b3", eye.b3, 1.3}, {"c3", eye.c3, 0.03},
        {"a4", eye.a4, -0.4}, {"b4", eye.b4, 1.4}, {"c4", eye.c4, 0.0},
    };
    for (const auto& d : doubles) EXPECT_EQ(d.actual, d.expected) << d.field;

    EXPECT_EQ(eye.radiusMode, 3);
    EXPECT_EQ(eye.radius180, 1520);
    EXPECT_EQ(eye.mappingKind, 3);
    EXPECT_EQ(eye.axisX, -12);
    EXPECT_EQ(eye.axisY, 990);
    EXPECT_EQ(eye.axisMode, 1);
    // What the conversion run derives from the image stays.
    EXPECT_EQ(eye.imageWidth, 640);
    EXPECT_EQ(eye.imageHeight, 480);
    EXPECT_EQ(eye.mappingScale, 0.5);
    EXPECT_EQ(eye.radius1, 0.1);
    EXPECT_EQ(eye.radius2, 0.2);
    EXPECT_EQ(eye.radius3, 0.3);
}

class SelectLensForEyeTest : public ::testing::Test {
protected:
    void SetUp() override {
        registry.records[0] = quadraticRecord();
        registry.records[1] = quadraticRecord();
        registry.records[1].name = "Second";
        registry.records[1].magnification = "2";
        registry.records[2].name = "stale, past count";
        registry.count = 2;
    }
    LensRegistry registry;
    ConversionParams params;
};

TEST_F(SelectLensForEyeTest, FillsOnlyTheChosenEye) {
    EXPECT_TRUE(SelectLensForEye(params, registry, 1, 1));
    EXPECT_EQ(params.eye[1].lensName, "Second");
    EXPECT_EQ(params.eye[1].magnification, 2.0);
    EXPECT_EQ(params.eye[0].lensName, "");
    EXPECT_EQ(params.eye[0].radius180, 0);

    EXPECT_TRUE(SelectLensForEye(params, registry, 0, 0));
    EXPECT_EQ(params.eye[0].lensName, "Quad lens");
    EXPECT_EQ(params.eye[1].lensName, "Second");

    // The same record for both eyes is allowed.
    EXPECT_TRUE(SelectLensForEye(params, registry, 1, 0));
    EXPECT_EQ(params.eye[1].lensName, "Quad lens");
    EXPECT_EQ(params.eye[1].magnification, params.eye[0].magnification);
}

TEST_F(SelectLensForEyeTest, NoSelectionChangesNothing) {
    ASSERT_TRUE(SelectLensForEye(params, registry, 0, 1));
    const struct {
        int eye, record;
    } refused[] = {{0, -1}, {0, 2}, {1, 2}, {0, 10}, {0, 1000}, {-1, 0}, {2, 0}};
    for (const auto& r : refused) {
        EXPECT_FALSE(SelectLensForEye(params, registry, r.eye, r.record)) << r.eye << "," << r.record;
        EXPECT_EQ(params.eye[0].lensName, "Second");
        EXPECT_EQ(params.eye[1].lensName, "");
    }
}

}  // namespace
