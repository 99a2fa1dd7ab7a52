#pragma once

#include <cstdint>

namespace skv {

// The plain record copied whole from the Simulation into its solver before every sub-step.
// Temperatures are in degrees Celsius; lengths in cells of size `cellSize`. The defaults are
// the reset values; the host overwrites most fields from the effect's parameters each frame.
struct SimulationParameters {
    uint32_t pressureSolverUsed = 1;      // written by the projection: 4 multigrid, 1 SOR
    uint32_t pressureIterations = 1000;   // sweep limit of the SOR solver
    double gravity = -0.05;               // acceleration per unit of density
    double buoyancy = 0.02;               // acceleration per degree (negative: upwards)
    double densityDissipation = -0.05;    // rate at which density decays
    double cooling = -1000.0;             // radiative cooling rate (off when <= 0)
    double burnRate = 1.0;                // fuel burnt per unit time at most
    double heatCreation = 100.0;          // temperature of fully burning fuel
    double sootCreation = 1.0;            // density produced per unit of fuel burnt
    double expansion = 1.0;               // divergence produced per unit of fuel burnt per time
    double pressureTolerance = 0.01;      // residual tolerance of the pressure solve
    double cellSize = 1.0;                // dx
    double domainOpenness = 2.0;          // 2 open, 1 half-open, 0 closed
    double heatDiffusion = 1.0;           // diffusion coefficient of temperature
    double vorticity = 0.0;               // vorticity confinement strength
    uint8_t differentialDensity = 1;      // a differential source is added as a rate,
    uint8_t differentialTemperature = 0;  // otherwise it replaces the field where present
    uint8_t differentialFuel = 1;
    uint8_t differentialVelocity = 1;
    uint8_t differentialColor = 0;
    uint32_t burnModel = 1;  // 0 oxidized, 1 un-oxidized
};

}  // namespace skv
