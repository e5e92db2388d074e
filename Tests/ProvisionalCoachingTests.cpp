// Coaching bullets from a pair report: photo coaching when it fits the corner, otherwise
// inside/outside elbow and knee bullets, at most three.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "Torvane/PairAnalysis.h"
#include "Torvane/ProvisionalCoaching.h"

using namespace torvane;
using namespace torvane::test;

namespace {

PairObservation observation(PairFeature feature, std::optional<double> delta) {
    return {feature, {"s", std::nullopt, {}, std::nullopt}, {"r", std::nullopt, {}, std::nullopt}, delta, std::nullopt};
}

PairReport report(CornerDirection corner, std::optional<double> leftElbow, std::optional<double> rightElbow = {}) {
    PairReport r;
    r.context.pairID = "A001";
    r.context.cornerDirection = corner;
    r.observations = {observation(PairFeature::leftElbow, leftElbow), observation(PairFeature::rightElbow, rightElbow),
                      observation(PairFeature::leftKnee, std::nullopt), observation(PairFeature::rightKnee, std::nullopt)};
    return r;
}

std::vector<std::string> titles(const std::vector<CoachingBullet>& bullets) {
    std::vector<std::string> out;
    for (const auto& b : bullets) out.push_back(b.title);
    return out;
}

// The detail's opening: the rounded difference and which way it goes.
std::string opening(const CoachingBullet& bullet) { return bullet.detail.substr(0, bullet.detail.find(" than")); }

}  // namespace

// Inside and outside follow the corner; from ten degrees on, with the rounded difference.
TEST(ProvisionalCoaching, ElbowBulletsFromTenDegreesWithRoundedNumbers) {
    const struct {
        CornerDirection corner;
        double delta;
        std::string title, opening;  // empty: no bullet
    } cases[] = {
        {CornerDirection::left, 15, "Inside elbow: explore more bend", "Your elbow appears 15\u00B0 straighter"},
        {CornerDirection::right, 15, "Outside elbow: explore more bend", "Your elbow appears 15\u00B0 straighter"},
        {CornerDirection::left, -10, "Inside elbow: explore less bend", "Your elbow appears 10\u00B0 more bent"},
        {CornerDirection::left, 10.6, "Inside elbow: explore more bend", "Your elbow appears 11\u00B0 straighter"},
        {CornerDirection::left, 12.4, "Inside elbow: explore more bend", "Your elbow appears 12\u00B0 straighter"},
        {CornerDirection::left, -9.9, "", ""},
        {CornerDirection::left, 9.99, "", ""},
        {CornerDirection::unknown, 40, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.delta);
        const auto bullets = report(c.corner, c.delta).coaching();
        ASSERT_EQ(bullets.size(), c.title.empty() ? 0u : 1u);
        if (bullets.empty()) continue;
        EXPECT_EQ(bullets[0].title, c.title);
        EXPECT_EQ(opening(bullets[0]), c.opening);
        EXPECT_EQ(bullets[0].id(), "leftElbow");
        EXPECT_EQ(bullets[0].provenance, "user-assumed-reference");
    }
}

TEST(ProvisionalCoaching, PhotoCoachingOnlyForTheEffectiveCorner) {
    auto r = report(CornerDirection::unknown, 40);
    r.context.photoCoaching = PhotoCoachingReview{CornerDirection::right, "Coach K", {{"Look", "Further."}, {"Hips", "Move."}}};
    EXPECT_EQ(r.effectiveCornerDirection(), CornerDirection::right);
    EXPECT_TRUE(r.hasPhotoCoaching());
    auto bullets = r.coaching();
    ASSERT_EQ(bullets.size(), 2u);
    EXPECT_EQ(bullets[0], (CoachingBullet{std::nullopt, "Look", "Further.", "Coach K", "photo-review-1"}));
    EXPECT_EQ(bullets[1].id(), "Hips");

    // The reviewer said left: coaching written for a right-hander is set aside.
    r.context.cornerDirection = CornerDirection::left;
    EXPECT_EQ(r.effectiveCornerDirection(), CornerDirection::left);
    EXPECT_FALSE(r.hasPhotoCoaching());
    EXPECT_EQ(titles(r.coaching()), std::vector<std::string>{"Inside elbow: explore more bend"});
}

TEST(ProvisionalCoaching, InsideFirstAndCutAtThree) {
    auto r = report(CornerDirection::right, 20, -30);
    r.context.kneePlacement = std::map<PairFeature, KneePlacement>{{PairFeature::leftKnee, KneePlacement::closerToTank},
                                                                   {PairFeature::rightKnee, KneePlacement::closerToTank}};
    EXPECT_EQ(titles(r.coaching()), (std::vector<std::string>{"Inside elbow: explore less bend",
                                                              "Outside elbow: explore more bend",
                                                              "Inside knee: open toward the turn"}));
    // Without elbow bullets both knees show, in inside-outside order.
    r = report(CornerDirection::right, 5, std::nullopt);
    r.context.kneePlacement = std::map<PairFeature, KneePlacement>{{PairFeature::leftKnee, KneePlacement::closerToTank},
                                                                   {PairFeature::rightKnee, KneePlacement::fartherFromTank}};
    auto bullets = r.coaching();
    ASSERT_EQ(bullets.size(), 2u);
    EXPECT_EQ(bullets[0].title, "Inside knee: hold closer to the tank");
    EXPECT_EQ(opening(bullets[0]), "Your visual review places this knee farther from the tank");
    EXPECT_EQ(bullets[1].title, "Outside knee: compare a less tucked position");
    EXPECT_EQ(bullets[1].id(), "leftKnee");
}

TEST(ProvisionalCoaching, KneeBulletsNeedAVisibleJudgedKnee) {
    auto r = report(CornerDirection::left, std::nullopt);
    EXPECT_TRUE(r.coaching().empty());  // no placement map at all
    r.context.kneePlacement = std::map<PairFeature, KneePlacement>{{PairFeature::leftKnee, KneePlacement::closerToTank},
                                                                   {PairFeature::rightKnee, KneePlacement::similar}};
    EXPECT_EQ(titles(r.coaching()), std::vector<std::string>{"Inside knee: open toward the turn"});
    r.unobservableKnees = {PairFeature::leftKnee};
    EXPECT_TRUE(r.coaching().empty());
    for (auto placement : {KneePlacement::unreviewed, KneePlacement::similar, KneePlacement::unassessable}) {
        r.unobservableKnees.clear();
        (*r.context.kneePlacement)[PairFeature::leftKnee] = placement;
        EXPECT_TRUE(r.coaching().empty());
    }
}
