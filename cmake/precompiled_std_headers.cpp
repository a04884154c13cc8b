// The unit that carries the precompiled standard headers
// (PrecompiledStdHeaders.cmake); it has no code of its own.
