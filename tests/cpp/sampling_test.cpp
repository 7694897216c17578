#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "warp/filter.hpp"
#include "warp/sampling.hpp"

namespace trelvane {
namespace {

const LanczosTable& table() {
    static const LanczosTable t = build_lanczos_table();
    return t;
}

template <class T, int C>
std::vector<T> sample(Filter filter, const std::vector<T>& pixels, std::uint64_t w, std::uint64_t h,
                      double x, double y, T initial = 7) {
    const SourceView<T, C> src(std::span<const T>(pixels), w, h);
    std::vector<T> dest(C, initial);
    if (filter == Filter::Bilinear)
        sample_bilinear(src, x, y, dest.data());
    else
        sample_lanczos3(src, table(), x, y, dest.data());
    return dest;
}

TEST(LanczosTable, PhasesAndNormalisation) {
    ASSERT_EQ(table().size(), 1025u);
    EXPECT_EQ(table()[0][2], 1.0);
    for (int i : {0, 1, 3, 4, 5}) EXPECT_LT(std::fabs(table()[0][i]), 1e-16);
    EXPECT_EQ(table()[512][2], table()[512][3]);  // a half pixel is symmetric
    EXPECT_EQ(table()[512][1], table()[512][4]);
    EXPECT_EQ(table()[1024][3], 1.0);  // a full pixel weights the next column as centre
    for (const auto& w : table()) EXPECT_NEAR(w[0] + w[1] + w[2] + w[3] + w[4] + w[5], 1.0, 1e-15);
    EXPECT_EQ(lanczos3_weight(0.0), 1.0);
    EXPECT_EQ(lanczos3_weight(3.0), 0.0);
    EXPECT_EQ(lanczos3_weight(-3.5), 0.0);
    EXPECT_EQ(lanczos3_weight(0.5), lanczos3_weight(-0.5));
}

TEST(Bilinear, BorderPixelsAreRepeated) {
    const std::vector<std::uint8_t> row = {10, 200};
    using V = std::vector<std::uint8_t>;
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Bilinear, row, 2, 1, -0.25, 0)), V{10});
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Bilinear, row, 2, 1, 2 - 1.25, 0)), V{153});
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Bilinear, row, 2, 1, 2 - 0.75, 0)), V{200});
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Bilinear, row, 2, 1, 2 - 0.5, 0)), V{200});
    const std::vector<std::uint8_t> ramp = {0, 255};
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Bilinear, ramp, 2, 1, 0.5, 0)), V{128});
}

class BothFilters : public ::testing::TestWithParam<Filter> {};

TEST_P(BothFilters, DomainIsClosedAtTheOuterPixelEdges) {
    const std::vector<std::uint16_t> img(4 * 3 * 3, 1000);
    using V = std::vector<std::uint16_t>;
    const double below = std::nextafter(-0.5, -1.0);
    const double above_x = std::nextafter(3.5, 4.0), above_y = std::nextafter(2.5, 3.0);
    const double inf = std::numeric_limits<double>::infinity();
    for (auto [x, y] : {std::pair{-0.5, -0.5}, {3.5, 2.5}, {-0.5, 2.5}})
        EXPECT_EQ((sample<std::uint16_t, 3>(GetParam(), img, 4, 3, x, y)), (V{1000, 1000, 1000}));
    for (auto [x, y] : {std::pair{below, 1.0}, {above_x, 1.0}, {1.0, below}, {1.0, above_y},
                        {inf, 1.0}, {1.0, -inf}})
        EXPECT_EQ((sample<std::uint16_t, 3>(GetParam(), img, 4, 3, x, y)), (V{7, 7, 7}));
}

TEST_P(BothFilters, PixelCentresReproduceThePixel) {
    std::vector<std::uint8_t> img(7 * 8 * 3);
    for (std::size_t i = 0; i < img.size(); ++i) img[i] = static_cast<std::uint8_t>(i * 37 + 11);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 7; ++x) {
            const auto got = sample<std::uint8_t, 3>(GetParam(), img, 7, 8, x, y);
            for (int c = 0; c < 3; ++c) EXPECT_EQ(got[c], img[(y * 7 + x) * 3 + c]);
        }
}

TEST_P(BothFilters, SinglePixelSourceEverywhereInTheDomain) {
    const std::vector<std::uint16_t> one = {4321};
    for (double x : {-0.5, -0.2, 0.0, 0.3, 0.5})
        for (double y : {-0.5, 0.0, 0.49, 0.5})
            EXPECT_EQ((sample<std::uint16_t, 1>(GetParam(), one, 1, 1, x, y)),
                      std::vector<std::uint16_t>{4321});
}

TEST_P(BothFilters, EmptySourcePanicsOnlyInsideItsDomain) {
    const std::vector<std::uint8_t> none;
    EXPECT_EQ((sample<std::uint8_t, 1>(GetParam(), none, 0, 5, 0.0, 1.0)), std::vector<std::uint8_t>{7});
    for (double x : {-0.5, std::nan("")}) {
        try {
            sample<std::uint8_t, 1>(GetParam(), none, 0, 5, x, 1.0);
            FAIL() << x;
        } catch (const InternalFailure& e) {
            EXPECT_STREQ(e.what(), "min > max. min = 0, max = -1");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Filters, BothFilters, ::testing::Values(Filter::Bilinear, Filter::Lanczos3),
                         [](const auto& info) { return info.param == Filter::Bilinear ? "bilinear" : "lanczos3"; });

TEST(NaNPositions, BilinearStoresZeroLanczosSamplesAtZero) {
    std::vector<std::uint8_t> img(5 * 5);
    for (std::size_t i = 0; i < img.size(); ++i) img[i] = static_cast<std::uint8_t>(40 + 7 * i);
    const double nan = std::nan("");
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Bilinear, img, 5, 5, nan, 2.0)), std::vector<std::uint8_t>{0});
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Bilinear, img, 5, 5, 1.0, nan)), std::vector<std::uint8_t>{0});
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Lanczos3, img, 5, 5, nan, 2.3)),
              (sample<std::uint8_t, 1>(Filter::Lanczos3, img, 5, 5, 0.0, 2.3)));
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Lanczos3, img, 5, 5, 3.7, nan)),
              (sample<std::uint8_t, 1>(Filter::Lanczos3, img, 5, 5, 3.7, 0.0)));
}

TEST(Lanczos, OvershootIsClippedAtBothEnds) {
    // A step edge from 0 to the maximum: ringing on both sides must saturate.
    std::vector<std::uint8_t> step8(12);
    std::vector<std::uint16_t> step16(12);
    for (int i = 6; i < 12; ++i) step8[i] = 255, step16[i] = 65535;
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Lanczos3, step8, 12, 1, 4.5, 0)), std::vector<std::uint8_t>{0});
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Lanczos3, step8, 12, 1, 6.5, 0)), std::vector<std::uint8_t>{255});
    EXPECT_EQ((sample<std::uint16_t, 1>(Filter::Lanczos3, step16, 12, 1, 6.5, 0)),
              std::vector<std::uint16_t>{65535});
}

TEST(Lanczos, FractionRoundingToAFullPixelUsesTheNextColumn) {
    std::vector<std::uint8_t> img(12);
    for (int i = 0; i < 12; ++i) img[i] = static_cast<std::uint8_t>(20 * i);
    const double x = 5 + 0.9996;  // phase round(0.9996 × 1024) = 1024
    EXPECT_EQ((sample<std::uint8_t, 1>(Filter::Lanczos3, img, 12, 1, x, 0)), std::vector<std::uint8_t>{120});
}

TEST(ToSample, RoundsHalfUpAndSaturates) {
    EXPECT_EQ(to_sample<std::uint8_t>(127.5), 128);
    EXPECT_EQ(to_sample<std::uint8_t>(127.49), 127);
    EXPECT_EQ(to_sample<std::uint8_t>(-3.0), 0);
    EXPECT_EQ(to_sample<std::uint8_t>(300.0), 255);
    EXPECT_EQ(to_sample<std::uint16_t>(70000.0), 65535);
    EXPECT_EQ(to_sample<std::uint16_t>(std::nan("")), 0);
}

TEST(ParseFilter, ExactNamesOnly) {
    EXPECT_EQ(parse_filter("bilinear"), Filter::Bilinear);
    EXPECT_EQ(parse_filter("lanczos3"), Filter::Lanczos3);
    for (const char* bad : {"Bilinear", "lanczos", " bilinear", "bilinear ", "", "LANCZOS3"})
        EXPECT_FALSE(parse_filter(bad).has_value()) << bad;
    EXPECT_FALSE(parse_filter(std::string_view("bilinear\0", 9)).has_value());
}

TEST(ParseFilter, MessageQuotesTheNameAsALiteral) {
    EXPECT_EQ(unknown_filter_message("Lanczos"),
              "unknown filter \"Lanczos\", expected \"bilinear\" or \"lanczos3\"");
    EXPECT_EQ(quoted_literal("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quoted_literal(std::string_view("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
    EXPECT_EQ(quoted_literal("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
    EXPECT_EQ(quoted_literal("caf\xc3\xa9 \xe6\x97\xa5"), "\"caf\xc3\xa9 \xe6\x97\xa5\"");
    EXPECT_EQ(quoted_literal("\xc2\x85"), "\"\\u{85}\"");  // a C1 control
}

}  // namespace
}  // namespace trelvane
