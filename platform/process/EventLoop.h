#pragma once

// Lets every pending window event run once, then returns.
void yieldToEventLoop();
