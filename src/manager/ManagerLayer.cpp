// Keeps the manager layer a real library while its modules are being written.
namespace tesselwick::manager_layer {
int version() { return 1; }
} // namespace tesselwick::manager_layer
