// kovra-sim entry point; the servers arrive with the simulator core.
int main() { return 0; }
