// Fitting the dialogs' side picture to its frame.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ui/side_picture.h"

namespace {

// A picture whose pixels are all grey levels: blue, green and red the same.
Picture grey(int width, int height, const std::vector<int>& levels)
{
    Picture picture;
    picture.width = width;
    picture.height = height;
    for (int level : levels)
        picture.bgr.insert(picture.bgr.end(), 3, static_cast<std::uint8_t>(level));
    return picture;
}

std::vector<int> levels(const Picture& picture)
{
    std::vector<int> out;
    for (std::size_t i = 0; i < picture.bgr.size(); i += 3) {
        EXPECT_EQ(picture.bgr[i], picture.bgr[i + 1]);
        EXPECT_EQ(picture.bgr[i], picture.bgr[i + 2]);
        out.push_back(picture.bgr[i]);
    }
    return out;
}

TEST(FitPicture, TheSameSizeIsCopiedPixelForPixel)
{
    Picture source = grey(3, 2, {0, 10, 20, 30, 40, 250});
    source.bgr[0] = 7;  // colours stay apart
    Picture fitted = fit_picture(source, 3, 2);
    EXPECT_EQ(fitted.width, 3);
    EXPECT_EQ(fitted.height, 2);
    EXPECT_EQ(fitted.bgr, source.bgr);
}

TEST(FitPicture, HalvingAveragesEachSquareOfFour)
{
    Picture source = grey(4, 2, {0, 100, 200, 200,  //
                                 100, 200, 200, 255});
    EXPECT_EQ(levels(fit_picture(source, 2, 1)), (std::vector<int>{100, 214}));
}

TEST(FitPicture, ShrinkingByAFractionWeighsThePixelsByTheirShare)
{
    // Three pixels into two each way: each output pixel covers one and a half.
    Picture source = grey(3, 3, {0, 90, 180, 0, 90, 180, 0, 90, 180});
    EXPECT_EQ(levels(fit_picture(source, 2, 2)), (std::vector<int>{30, 150, 30, 150}));
}

TEST(FitPicture, OtherProportionsAreCutEvenlyNotStretched)
{
    // 4 x 2 into a 2 x 2 frame: the middle two columns, unscaled.
    Picture wide = grey(4, 2, {1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(levels(fit_picture(wide, 2, 2)), (std::vector<int>{2, 3, 6, 7}));
    // 2 x 6 into a 1 x 1 frame, shrunk by two: the middle square only.
    Picture tall = grey(2, 6, {0, 0, 0, 0, 40, 60, 80, 100, 255, 255, 255, 255});
    EXPECT_EQ(levels(fit_picture(tall, 1, 1)), (std::vector<int>{70}));
}

TEST(FitPicture, ASlightlyLargerSourceIsCutNotResampled)
{
    // 51 columns into 50: one column is cut off, the rest kept as they are.
    std::vector<int> row;
    for (int x = 0; x < 51; ++x)
        row.push_back(x * 5);
    std::vector<int> kept(row.begin(), row.end() - 1);
    EXPECT_EQ(levels(fit_picture(grey(51, 1, row), 50, 1)), kept);
}

TEST(FitPicture, EnlargingInterpolatesBetweenNeighbours)
{
    Picture source = grey(2, 1, {0, 200});
    // Each source pixel becomes two; the two inner ones lie a quarter of
    // the way between the neighbours, the outer ones at the edges.
    EXPECT_EQ(levels(fit_picture(source, 4, 2)), (std::vector<int>{0, 50, 150, 200,  //
                                                                   0, 50, 150, 200}));
}

TEST(FitPicture, AnEmptySourceOrFrameGivesNothing)
{
    EXPECT_TRUE(fit_picture(Picture{}, 4, 4).bgr.empty());
    EXPECT_TRUE(fit_picture(grey(1, 1, {9}), 0, 4).bgr.empty());
    EXPECT_TRUE(fit_picture(grey(1, 1, {9}), 4, -1).bgr.empty());
    EXPECT_EQ(fit_picture(grey(1, 1, {9}), 0, 4).width, 0);
}

}  // namespace
