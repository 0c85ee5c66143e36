int main() { return 0; }  // placeholder: being written
