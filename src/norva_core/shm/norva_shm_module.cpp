// The norva_shm extension file defines nothing. It is linked against the norva_core library, so
// when Python loads it and looks up PyInit_norva_shm, the dynamic loader finds that entry in
// norva_core's file (a dependency of this one) and both modules share its BufferDescriptor type.
// A wheel cannot carry a symlink, and a second copy of the code would bring a second type object.
