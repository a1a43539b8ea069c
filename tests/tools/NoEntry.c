// SPDX-License-Identifier: MIT
/* A library that looks like kqSer.so at first sight but lacks GetSerManager. */
int DllType(void) {
    return 0;
}
const char* DllNote(void) {
    return "not the real library";
}
int DllVersion(void) {
    return 1;
}
int FreeSerManager(void) {
    return 0;
}
