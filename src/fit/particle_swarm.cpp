// Particle swarm with inertia weight and the coefficients of Standard PSO 2011.

#include "fit/global_search.hpp"
#include "runtime/cancellation.hpp"

namespace movarin {
namespace {

constexpr double kInertia = 0.7213475204444817;     // 1 / (2 ln 2)
constexpr double kAttraction = 1.1931471805599454;  // 0.5 + ln 2, cognitive and social alike

struct Particle {
  std::vector<double> position;
  std::vector<double> velocity;
  std::vector<double> best_position;
  double best_cost = 0.0;
};

struct Incumbent {
  std::vector<double> position;
  double cost = 0.0;
  bool found = false;

  void offer(const std::vector<double>& candidate, double candidate_cost) {
    if (found && !improves_on(candidate_cost, cost)) return;
    position = candidate;
    cost = candidate_cost;
    found = true;
  }
};

// All positions are drawn before any velocity, which fixes the order of draws for a given seed.
std::vector<Particle> scattered_swarm(std::span<const Bounds> box, std::uint64_t count,
                                      ChaChaRng& rng) {
  std::vector<Particle> swarm(count);
  for (Particle& p : swarm) {
    for (const Bounds& b : box) p.position.push_back(uniform_in(rng, b.lo, b.hi));
  }
  for (Particle& p : swarm) {
    for (const Bounds& b : box) {
      const double width = b.hi - b.lo;
      p.velocity.push_back(uniform_in(rng, -width, width));
    }
  }
  return swarm;
}

// A uniform draw between 0 and `difference`, whichever its sign; exactly 0 for no difference.
double pull(ChaChaRng& rng, double difference) {
  return uniform_53(rng) * difference;
}

void move(Particle& p, const std::vector<double>& guide, std::span<const Bounds> box,
          ChaChaRng& rng) {
  const std::size_t dims = box.size();
  std::vector<double> cognitive(dims);
  std::vector<double> social(dims);
  for (std::size_t k = 0; k < dims; ++k)
    cognitive[k] = pull(rng, p.best_position[k] - p.position[k]);
  for (std::size_t k = 0; k < dims; ++k) social[k] = pull(rng, guide[k] - p.position[k]);
  for (std::size_t k = 0; k < dims; ++k) {
    p.velocity[k] = kInertia * p.velocity[k] + kAttraction * cognitive[k] + kAttraction * social[k];
    double x = p.position[k] + p.velocity[k];
    if (x < box[k].lo) x = box[k].lo;
    if (x > box[k].hi) x = box[k].hi;
    p.position[k] = x;
  }
}

}  // namespace

SearchResult particle_swarm_search(std::span<const Bounds> box, const Objective& objective,
                                   const ParticleSwarmOptions& options, ChaChaRng& rng) {
  std::vector<Particle> swarm = scattered_swarm(box, options.particles, rng);
  Incumbent swarm_best;
  const auto interrupted = [] {
    return fail(SearchError{SearchError::Kind::Interrupted, SearchMethod::ParticleSwarm});
  };
  for (Particle& p : swarm) {
    p.best_position = p.position;
    p.best_cost = objective(p.position);
    swarm_best.offer(p.position, p.best_cost);
    if (stop_requested()) return interrupted();
  }
  if (!swarm_best.found) {
    return fail(SearchError{SearchError::Kind::NoBestPosition, SearchMethod::ParticleSwarm});
  }

  for (std::uint64_t generation = 0; generation < options.generations; ++generation) {
    // Every particle of a generation follows the swarm's best as it stood when the generation
    // began.
    const std::vector<double> guide = swarm_best.position;
    for (Particle& p : swarm) move(p, guide, box, rng);
    for (Particle& p : swarm) {
      const double cost = objective(p.position);
      if (improves_on(cost, p.best_cost)) {
        p.best_position = p.position;
        p.best_cost = cost;
      }
      swarm_best.offer(p.position, cost);
      if (stop_requested()) return interrupted();
    }
  }
  return SearchSummary{std::move(swarm_best.position), swarm_best.cost, options.generations};
}

}  // namespace movarin
