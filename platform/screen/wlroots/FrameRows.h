#pragma once

#include <QString>

#include <cstdint>

// What a wlroots compositor's frame may be, and its rows put into the picture's order.

// Why a frame that the compositor describes as `width` x `height` pixels of the shared-memory `format` (wl_shm's
// numbers), `stride` bytes a row, cannot be taken; empty when it can.
QString screencopyFrameProblem(std::uint32_t format, std::uint32_t width, std::uint32_t height, std::uint32_t stride);

// The rows of a copied frame put into the picture's order in place: top row first where the compositor said they came
// bottom up (`yInverted`), and B, G, R, X in each pixel where `format` holds them as R, G, B, X. `format` is one that
// screencopyFrameProblem() takes.
void orderFrameRows(std::uint8_t* rows, int width, int height, int stride, std::uint32_t format, bool yInverted);
