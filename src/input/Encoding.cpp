// PLACEHOLDER (owned by the encoding helper; replace entirely).
#include "input/Input.h"
const uint32_t CodePageNumbers[24] = {1252, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258, 437, 720, 737,
                                      775, 850, 852, 855, 857, 858, 862, 866, 874, 10000, 20866, 21866};
const uint16_t CodePageTables[24][128] = {};
const uint32_t EbcdicCodePageNumbers[10] = {1140, 1141, 1142, 1143, 1144, 1145, 1146, 1147, 1148, 1149};
const uint16_t EbcdicTables[10][256] = {};
int CodePageIndexOf(uint32_t) { return -1; }
int EbcdicCodePageIndexOf(uint32_t) { return -1; }
uint32_t DetectEncoding(InputSource*, bool) { return Oem; }
int NextChar(InputSource*) { return -1; }
int PeekChar(InputSource*) { return -1; }
int ReadTextLine(InputSource*, wchar_t*) { return -1; }
int DecodeUtf8(const uint8_t*) { return -1; }
int EncodingName(uint32_t, uint64_t, wchar_t*) { return -1; }
int DescribeEncoding(const InputSource*, wchar_t*) { return -1; }
