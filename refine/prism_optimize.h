#pragma once

// Optimisation of a prism fit on the rays, as optical design programs do it:
// starting from the least-squares fit, the coefficients of both surfaces are
// adjusted by damped least squares (Levenberg-Marquardt, Ceres Solver) on the
// camera rays of a sample of pixels traced through the solid. Derivatives
// come from automatic differentiation through the optics kernel (the Newton
// intersection and the law of refraction, core/optics.h), or, for
// comparison, from central differences.
//
// Two objectives:
//   - stereo (the default): per half, what a stereo user keeps after
//     calibrating it. For every sampled pixel of the left half (the right
//     half is its mirror image by construction) the outgoing ray's distance
//     from the half's common point, in pixels at the near depth
//     (non-centrality), and the reprojection residual of its direction after
//     the best camera of the chosen OpenCV distortion model. The camera
//     (fx fy cx cy and distortion) and the common point are unknowns solved
//     with the coefficients. Only the even powers of w are free (the others
//     are held at 0), so the prism stays its own mirror image in y. Bounded:
//     baseline, focal length, surface offsets, rays lost, thickness.
//     A cemented prism may add its colour (PrismColourObjective): the
//     interface moves too, and the images at the band's two edges are to
//     coincide.
//   - mapping: every target's outgoing direction (image against the target's,
//     two residuals in pixels) and the perpendicular offset of its line from
//     the target's pinhole (x and y in mm, weighted into pixels), and, with
//     anchor points, the height difference to the design.

#include "core/optics_camera.h"
#include "fit/prism_fit.h"
#include "verify/verify.h"

#include <QString>

#include <array>
#include <functional>
#include <vector>

// The line a pixel's ray is to leave along.
struct PrismRayTarget {
    double x = 0.0;  // sensor position of the pixel, mm from the centre
    double y = 0.0;
    verify::Vec3 direction = verify::Vec3(0, 0, -1);  // into the scene (z < 0)
    verify::Vec3 pinhole = verify::Vec3::Zero();      // a point of the line
};

// The ideal virtual cameras: direction (xv, y, dz), through (+-Cp, 0, F).
std::vector<PrismRayTarget> idealRayTargets(const verify::PrismGeometry& geometry,
                                            const std::vector<verify::Pixel>& pixels);

enum class PrismObjective { Stereo, Mapping };
QString prismObjectiveName(PrismObjective objective);  // "stereo" / "mapping"
bool parsePrismObjective(const QString& name, PrismObjective* objective);

// How the Jacobian of the residuals is found.
enum class PrismJacobian { Automatic, CentralDifferences };

struct PrismOptimizeProgress {
    int iteration = 0;
    double directionRmsPx = 0.0;  // over the sample, traced pixels, against the ideal camera
    double pinholeRmsMm = 0.0;    // distance of the outgoing lines from the ideal pinhole
    double cost = 0.0;            // sum of squared weighted residuals
    double damping = 0.0;         // inverse trust region radius of the step
    // Stereo objective: the reprojection residual after the camera being
    // solved, and the distance of the lines from the common point.
    double calibratedRmsPx = 0.0;
    double nonCentralityRmsMm = 0.0;
    // With the colour objective: the image displacement between the band's
    // two edges, RMS over the sample (NaN without it).
    double colourRmsPx = 0.0;
};

// The bounds of the stereo objective.
struct PrismStereoBounds {
    double baselineRelative = 0.001;      // common point's |x| within this fraction of the ideal pinhole's
    double pinholeHeightMm = 5.0;         // common point's y and z within this of the ideal pinhole's
    double focalRelative = 0.01;          // fx, fy within this fraction of focal length / pitch
    double surfaceOffsetMm = 1.0;         // each surface's constant term within this of the start
    bool keepThickness = true;            // the glass nowhere thinner than the start's thinnest
    // A cemented prism's two glasses: each nowhere thinner than this or, if
    // less, its thinnest at the start.
    double cementedGlassMm = 1.25;
    double thicknessWeightPxPerMm = 1000.0;
};

// A cemented prism's colour, with the stereo objective: the interface's
// coefficients (even in y; its constant term bounded like the outer
// surfaces') become unknowns beside the outer surfaces', and every
// stride-th pixel of the sample adds the displacement of its image between
// the band's two edges (x and y, px: the outgoing directions traced with
// each glass's index at that edge and imaged in the half's ideal camera, as
// the verifier measures lateral colour) times `weight`. The glass thickness
// bound then holds the interface too. Ignored for a prism of one glass.
struct PrismColourObjective {
    bool enabled = false;
    double shortCrownIndex = 1.0;  // at the band's short edge
    double shortFlintIndex = 1.0;
    double longCrownIndex = 1.0;   // at its long edge
    double longFlintIndex = 1.0;
    double weight = 1.0;
    int stride = 1;
};

struct PrismOptimizeOptions {
    PrismObjective objective = PrismObjective::Stereo;
    optics::DistortionModel cameraModel = optics::DistortionModel::Standard;
    double nearDepthMm = 300.0;  // the depth the non-centrality is weighted at (px per mm there)
    // Stereo objective: of the targets on the central row (y = 0), only every
    // centralRowStride-th is used (the row carries no information about y).
    int centralRowStride = 1;
    PrismStereoBounds bounds;
    PrismJacobian jacobian = PrismJacobian::Automatic;

    int maxIterations = 20;
    double relativeTolerance = 1e-4;   // stop when a step lowers the cost by less than this fraction
    double pinholeWeightPxPerMm = 10.0;
    double untracedPenaltyPx = 1000.0; // each residual of a pixel whose ray does not get through
    int threadCount = 0;               // 0: every hardware thread
    // Keeps the surfaces near the design (mapping objective): every
    // anchorStride-th left-half design point of each surface adds its height
    // difference (mm) times anchorWeightPxPerMm as a residual. None without
    // points.
    const PrismDesignPoints* anchor = nullptr;
    int anchorStride = 101;
    double anchorWeightPxPerMm = 10.0;
    PrismColourObjective colour;
    std::function<void(const PrismOptimizeProgress&)> progress;
};

struct PrismOptimizeResult {
    PrismFit fit;                 // the optimised coefficients (normalisation and domain kept)
    PrismOptimizeProgress start;
    PrismOptimizeProgress end;
    int iterations = 0;
    bool converged = false;       // stopped at the tolerance, not at the limit
    QString stopReason;           // one line
    // Stereo objective: the left half's camera (fx fy cx cy, distortion) and
    // common point (mm) found with the prism.
    std::vector<double> camera;
    std::array<double, 3> commonPoint{};
    std::array<double, 3> cameraRotation{};  // angle-axis, camera frame against the design's axes
    int centrePixelsLeftOut = 0;  // stereo: sampled left-half pixels whose rays cross x = 0
    int pixelsUsed = 0;
    double seconds = 0.0;
};

PrismOptimizeResult optimizePrismFit(const verify::PrismGeometry& geometry, const PrismFit& start,
                                     const std::vector<PrismRayTarget>& targets, const PrismOptimizeOptions& options);

// The stereo objective's residuals of one pixel and their Jacobian with
// respect to the free exit and entrance coefficients, the camera, the common
// point and the camera's rotation (row-major, residuals x parameters, blocks
// in that order),
// by the chosen method; for checking one against the other. False when the
// ray is lost.
bool prismStereoResidualJacobian(const verify::PrismGeometry& geometry, const PrismFit& fit,
                                 const PrismOptimizeOptions& options, const std::vector<double>& camera,
                                 const std::array<double, 3>& commonPoint, const std::array<double, 3>& rotation,
                                 double x, double y, std::vector<double>* residuals, std::vector<double>* jacobian);
