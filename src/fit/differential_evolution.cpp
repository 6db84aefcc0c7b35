// Self-adaptive differential evolution (jDE) with DE/rand/1/bin, computed in single precision.

#include <array>

#include "fit/global_search.hpp"
#include "runtime/cancellation.hpp"

namespace movarin {
namespace {

constexpr std::size_t kPopulation = 100;
constexpr int kRounds = 10;
constexpr float kRedrawProbability = 0.1f;
constexpr float kSmallestScale = 0.1f;
constexpr float kScaleSpan = 0.9f;

struct FloatBounds {
  float lo;
  float hi;
};

// One version of an individual: its position with the control parameters that produced it.
struct Member {
  std::vector<float> position;
  float cost = 0.0f;
  float crossover = 0.0f;
  float scale = 0.0f;
};

float draw_scale(Xorshift128& rng) {
  return kSmallestScale + kScaleSpan * uniform_float(rng);
}

std::vector<Member> initial_population(std::span<const FloatBounds> box, Xorshift128& rng) {
  std::vector<Member> population(kPopulation);
  for (Member& m : population) {
    m.crossover = uniform_float(rng);
    m.scale = draw_scale(rng);
    for (const FloatBounds& b : box)
      m.position.push_back(scale_to_range(b.lo, b.hi, uniform_float(rng)));
  }
  return population;
}

std::array<std::size_t, 3> three_distinct_members(Xorshift128& rng) {
  const std::size_t a = uniform_below(rng, kPopulation);
  std::size_t b;
  do b = uniform_below(rng, kPopulation);
  while (b == a);
  std::size_t c;
  do c = uniform_below(rng, kPopulation);
  while (c == a || c == b);
  return {a, b, c};
}

Member trial_for(const std::vector<Member>& kept, std::size_t i, Xorshift128& rng) {
  const Member& self = kept[i];
  Member trial;
  trial.crossover = uniform_float(rng) < kRedrawProbability ? uniform_float(rng) : self.crossover;
  trial.scale = uniform_float(rng) < kRedrawProbability ? draw_scale(rng) : self.scale;
  const auto [a, b, c] = three_distinct_members(rng);
  const std::size_t dims = self.position.size();
  // One coordinate always comes from the mutant, so that no trial merely copies its parent.
  const std::size_t forced = uniform_below(rng, dims);
  trial.position.resize(dims);
  for (std::size_t d = 0; d < dims; ++d) {
    const bool mutate = d == forced || uniform_float(rng) < trial.crossover;
    trial.position[d] =
        mutate ? kept[c].position[d] + trial.scale * (kept[a].position[d] - kept[b].position[d])
               : self.position[d];
  }
  return trial;
}

// Ties go to the trial; a real cost replaces a NaN one but never the other way round.
void keep_improvements(std::vector<Member>& kept, const std::vector<Member>& trials) {
  if (kept.empty()) {
    kept = trials;
    return;
  }
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (!improves_on(kept[i].cost, trials[i].cost)) kept[i] = trials[i];
  }
}

std::vector<double> widened(const std::vector<float>& position) {
  return std::vector<double>(position.begin(), position.end());
}

// One round of exactly `steps` evaluations. The first generation evaluates the initial population;
// each later one is formed once every member of the previous one has been scored. The round's best
// is the lowest cost evaluated; on ties the earlier evaluation, hence the kept version, stays.
std::optional<Member> run_round(std::span<const FloatBounds> box, const Objective& objective,
                                std::uint64_t steps) {
  Xorshift128 rng = Xorshift128::from_thread_generator();
  std::vector<Member> generation = initial_population(box, rng);
  std::vector<Member> kept;
  std::optional<Member> best;
  std::size_t next = 0;
  for (std::uint64_t step = 0; step < steps; ++step) {
    if (next == kPopulation) {
      keep_improvements(kept, generation);
      for (std::size_t i = 0; i < kPopulation; ++i) generation[i] = trial_for(kept, i, rng);
      next = 0;
    }
    Member& member = generation[next++];
    member.cost = static_cast<float>(objective(widened(member.position)));
    if (!best || improves_on(member.cost, best->cost)) best = member;
    if (stop_requested()) break;
  }
  return best;
}

}  // namespace

SearchResult differential_evolution_search(std::span<const Bounds> box, const Objective& objective,
                                           const Objective& rescore,
                                           const DifferentialEvolutionOptions& options) {
  std::vector<FloatBounds> float_box;
  for (const Bounds& b : box)
    float_box.push_back({static_cast<float>(b.lo), static_cast<float>(b.hi)});

  std::optional<SearchSummary> best;
  for (int round = 0; round < kRounds; ++round) {
    const std::optional<Member> round_best =
        run_round(float_box, objective, options.evaluations_per_round);
    if (stop_was_requested()) {
      return fail(
          SearchError{SearchError::Kind::Interrupted, SearchMethod::DifferentialEvolution});
    }
    if (!round_best) continue;
    std::vector<double> point = widened(round_best->position);
    const double cost = rescore(point);
    if (!best || improves_on(cost, best->best_cost))
      best = SearchSummary{std::move(point), cost, 0};
  }
  if (!best) {
    return fail(
        SearchError{SearchError::Kind::NoBestPosition, SearchMethod::DifferentialEvolution});
  }
  best->iterations = kRounds * options.evaluations_per_round;
  return std::move(*best);
}

}  // namespace movarin
