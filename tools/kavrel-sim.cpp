// Placeholder until the simulated instrument lands.
int main() { return 0; }
