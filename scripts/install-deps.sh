#!/usr/bin/env bash
# Installs the Debian packages the project needs, skipping those already present.
#   scripts/install-deps.sh          build and run the program
#   scripts/install-deps.sh --test   also what the tests need (virtual X server)
set -euo pipefail

packages=(
  build-essential cmake
  qtbase5-dev            # Qt 5 Core, Gui, Widgets, OpenGL widget, Test
  libeigen3-dev          # dense and sparse least squares of the verifier and the new fits
  libgl-dev              # OpenGL headers and libGL
  libopencv-core-dev libopencv-calib3d-dev  # predicted stereo calibration: OpenCV's own camera model and calibration
  libceres-dev           # the prism optimiser: least squares with automatic derivatives (Ceres Solver)
  libocct-foundation-dev libocct-modeling-data-dev libocct-modeling-algorithms-dev libocct-data-exchange-dev
                         # OpenCASCADE: the STEP solid with exact surfaces (harvenlotek_export_step)
  libqt5charts5-dev      # Qt Charts: the tolerancing tab's histograms, cumulative curves and bars
  libopencv-imgproc-dev libopencv-imgcodecs-dev  # simulated capture: rectification, StereoSGBM's filters, PNG pictures
  libgl1-mesa-dri        # software rendering where there is no GPU driver
  fonts-dejavu-core      # a font for the panel's labels
)
if [ "${1:-}" = "--test" ]; then
  packages+=(xvfb xauth locales)   # locales: a decimal-comma locale for the tests
  packages+=(python3-opencv)       # a second reader of the stereo calibration file
  packages+=(admesh)        # reads the exported STL solid: open edges, parts, volume
  packages+=(assimp-utils)  # "assimp info" imports the exported STL
  packages+=(pcl-tools)     # pcl_ply2pcd reads the exported PLY point cloud (assimp refuses face-less PLY)
  packages+=(gmsh)          # opens and meshes the exported STEP solid
  packages+=(poppler-utils) # pdftotext reads the drawing's dimensions back from the PDF
  packages+=(parallel)      # GNU parallel runs the shards of a tolerance run or a sweep
  packages+=(time)          # GNU time: the peak memory the benchmarks report
  packages+=(slurm-wlm munge)  # a single-node Slurm runs the tolerance array script (test as root)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
