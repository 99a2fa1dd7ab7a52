#include "engine/reference_scenes.h"

#include <cmath>

#include "engine/simulation.h"

namespace skv {

SimulationParameters effectDefaultParameters() {
    SimulationParameters p;
    p.differentialVelocity = 1;
    p.densityDissipation = double(float(10 * 0.01));
    p.burnRate = double(float(50 * 0.01));
    p.expansion = 2.0;
    p.heatCreation = 1000.0;
    p.sootCreation = 1.0;
    p.cooling = 1000.0;
    p.gravity = double(9.7f);
    p.buoyancy = double(1.37f) * -0.02;
    p.heatDiffusion = 20.0;
    p.vorticity = 0.0;
    p.domainOpenness = 2.0;
    p.burnModel = 1;
    return p;
}

void paintDisc(FloatGrid& g, float cx, float cy, float r, float value) {
    for (uint32_t y = 1; y + 1 < g.height(); ++y)
        for (uint32_t x = 1; x + 1 < g.width(); ++x)
            if (std::hypot(float(x) - cx, float(y) - cy) <= r) g(x, y) = value;
}

namespace {

void plume(Simulation& sim, bool closed) {
    const float size = float(sim.inputs().density.width() - 2);
    sim.parameters().domainOpenness = closed ? 0.0 : 2.0;
    auto& in = sim.inputs();
    const float c = size / 2.0f, bottom = size * 0.9f, r = size / 20.0f;
    paintDisc(in.density, c, bottom, r, 1.0f);
    paintDisc(in.temperature, c, bottom, r, 300.0f);
    paintDisc(in.temperatureWeight, c, bottom, r, 1.0f);
    sim.sources().density = sim.sources().temperature = true;
}

void fire(Simulation& sim, float size) {
    sim.parameters().burnModel = 1;
    sim.parameters().vorticity = 20 * 0.025;
    auto& in = sim.inputs();
    const float c = size / 2.0f, bottom = size * 0.9f, r = size / 16.0f;
    paintDisc(in.fuel, c, bottom, r, 1.0f);
    paintDisc(in.temperature, c, bottom, r, 400.0f);
    paintDisc(in.temperatureWeight, c, bottom, r, 1.0f);
    sim.sources().fuel = sim.sources().temperature = true;
}

void box(Simulation& sim, float size, bool moving) {
    sim.parameters().domainOpenness = 0.0;
    auto& in = sim.inputs();
    const float c = size / 2.0f;
    paintDisc(in.obstacle, c, c, size / 8.0f, 1.0f);
    // A jet from the left wall towards the obstacle, carrying smoke.
    for (uint32_t y = uint32_t(c - size / 16.0f); y < uint32_t(c + size / 16.0f); ++y)
        for (uint32_t x = 1; x < 1 + uint32_t(size) / 16; ++x) {
            in.velocityU(x, y) = size / 4.0f;
            in.velocityWeight(x, y) = 1.0f;
            in.density(x, y) = 1.0f;
        }
    sim.sources().obstacle = sim.sources().velocity = sim.sources().density = true;
    if (moving) {
        in.obstacleU.fill(0.5f);
        in.obstacleV.fill(-0.25f);
        sim.sources().obstacleVelocity = true;
    }
}

void oxidizedFire(Simulation& sim, float size) {
    sim.parameters().burnModel = 0;
    sim.parameters().differentialTemperature = 1;
    sim.parameters().differentialVelocity = 0;
    auto& in = sim.inputs();
    const float c = size / 2.0f, r = size / 12.0f, offset = size / 5.0f;
    paintDisc(in.fuel, c, size * 0.8f, r, 0.8f);
    paintDisc(in.temperature, c, size * 0.8f, r, 50.0f);
    paintDisc(in.temperatureWeight, c, size * 0.8f, r, 1.0f);
    paintDisc(in.divergence, c - offset, c, size / 16.0f, 0.2f);
    paintDisc(in.velocityV, c + offset, size * 0.7f, size / 16.0f, -3.0f);
    paintDisc(in.velocityWeight, c + offset, size * 0.7f, size / 16.0f, 1.0f);
    sim.sources().fuel = sim.sources().temperature = sim.sources().divergence = true;
    sim.sources().velocity = true;
}

void paintedPlume(Simulation& sim, float size) {
    plume(sim, false);
    sim.setUseTexture(true);
    auto& in = sim.inputs();
    const float c = size / 2.0f, bottom = size * 0.9f, r = size / 12.0f;
    paintDisc(in.red, c - r / 2, bottom, r, 1.0f);
    paintDisc(in.green, c, bottom, r, 0.5f);
    paintDisc(in.blue, c + r / 2, bottom, r, 0.25f);
    paintDisc(in.alpha, c, bottom, r, 1.0f);
    sim.sources().color = true;
}

}  // namespace

void paintReferenceScene(Simulation& sim, ReferenceScene scene) {
    const float size = float(sim.inputs().density.width()) - 2.0f;
    switch (scene) {
        case ReferenceScene::OpenPlume:
            return plume(sim, false);
        case ReferenceScene::ClosedPlume:
            return plume(sim, true);
        case ReferenceScene::Fire:
            return fire(sim, size);
        case ReferenceScene::Box:
            return box(sim, size, false);
        case ReferenceScene::MovingBox:
            return box(sim, size, true);
        case ReferenceScene::OxidizedFire:
            return oxidizedFire(sim, size);
        case ReferenceScene::PaintedPlume:
            return paintedPlume(sim, size);
    }
}

}  // namespace skv
