// Cost of analysing every pair of a long track day (60 pairs): each analysis and lean
// comparison re-checks the whole document, so a session's total grows with pairs squared.
#include <benchmark/benchmark.h>

#include <cmath>

#include "Torvane/LeanAnalysis.h"
#include "Torvane/PairAnalysis.h"
#include "Torvane/ProvisionalCoaching.h"
#include "Torvane/ReviewDocument.h"

using namespace torvane;

namespace {

ReviewDocument reviewedSession(int pairs) {
    std::vector<ReviewFrame> frames;
    for (int p = 0; p < pairs; ++p) {
        std::string pair = "A";
        pair += std::to_string(1000 + p);
        for (const char* role : {"subject", "reference"}) {
            ReviewFrame f(pair + "-" + role, pair, role, "Rider", pair + "-" + role + ".jpg", std::string(64, 'a'),
                          {0, 0, 4000, 3000}, std::nullopt, std::nullopt);
            const double bend = role[0] == 's' ? 40 : 70;
            for (PairFeature feature : allCases<PairFeature>()) {
                auto names = joints(feature);
                f.setJoint(std::string(names[0]), Point2{1000, 800}, JointReviewState::confirmed);
                f.setJoint(std::string(names[1]), Point2{1000, 1000}, JointReviewState::confirmed);
                f.setJoint(std::string(names[2]), Point2{1000 + 200 * std::sin(bend / 57.3), 1000 + 200 * std::cos(bend / 57.3)},
                           JointReviewState::confirmed);
            }
            frames.push_back(std::move(f));
        }
    }
    ReviewDocument d(std::string(64, 'm'), std::string(64, 'r'), std::move(frames));
    for (const auto& pair : PairReview::resolve(d.frames)) {
        PairContext c(d, pair);
        c.cornerDirection = CornerDirection::left;
        for (PairFeature feature : allCases<PairFeature>()) c.comparability[feature] = ViewComparability::comparable;
        d.comparisonContexts.push_back(c);
        for (const auto& id : pair.frameIDs()) {
            LeanAnnotation a(*d.frame(id), LeanLine{{2000, 2500}, {id.back() == 't' ? 2300.0 : 2200.0, 1800}, 3});
            a.state = LeanState::reviewed;
            d.leanAnnotations.emplace(id, a);
        }
        LeanPairContext lean;
        lean.commonCue = lean.comparableView = lean.comparableHeading = lean.comparableReference = true;
        lean.comparableCameraRoll = true;
        d.leanContexts.emplace(pair.id, lean);
        d.leanContexts[pair.id].approvalDigest = LeanAnalysis::evidenceDigest(d, pair);
    }
    return d;
}

void AnalyzeEveryPairWithCoaching(benchmark::State& state) {
    const ReviewDocument d = reviewedSession(static_cast<int>(state.range(0)));
    const auto pairs = PairReview::resolve(d.frames);
    for (auto _ : state)
        for (const auto& pair : pairs) benchmark::DoNotOptimize(PairAnalysis::analyze(d, pair).coaching());
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(pairs.size()));
}
BENCHMARK(AnalyzeEveryPairWithCoaching)->Arg(6)->Arg(60)->Unit(benchmark::kMillisecond);

void CompareLeanOfEveryPair(benchmark::State& state) {
    const ReviewDocument d = reviewedSession(static_cast<int>(state.range(0)));
    const auto pairs = PairReview::resolve(d.frames);
    for (auto _ : state)
        for (const auto& pair : pairs) benchmark::DoNotOptimize(LeanAnalysis::compare(d, pair));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(pairs.size()));
}
BENCHMARK(CompareLeanOfEveryPair)->Arg(6)->Arg(60)->Unit(benchmark::kMillisecond);

}  // namespace
