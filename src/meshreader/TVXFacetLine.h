// The lines of the ASCII facet format, as vtkTVXReader sees them: every piece that one fgets call
// with a limit of 255 yields is lower-cased and classified by itself, and a vertex line gives up to
// three numbers.
#ifndef TVXFacetLine_h
#define TVXFacetLine_h

// Letters A to Z become a to z, up to the first NUL; every other byte stays, whatever the locale.
void TVXLowercase(char* piece);

// Whether a lower-cased piece is a vertex line: it contains "vertex" and none of the words that
// mark the other lines (endfacet, facet, endsolid, solid, color, normal, outer loop, endloop),
// anywhere, not only as whole words.
bool TVXIsVertexLine(const char* piece);

// Reads a vertex line as sscanf(piece, "%*s %f %f %f\n", ...) does: the first token, whatever it
// is, is passed over, then up to three numbers are stored into xyz[0], xyz[1], xyz[2] in turn; the
// coordinates for which no number is converted keep their values. Gives the number of values
// stored.
//
// Plain decimal numbers are converted here (to the same correctly rounded single-precision value as
// the runtime gives); anything else goes to sscanf itself, and so does everything when the locale's
// decimal point is not '.' (fast is then false: see TVXPlainNumbersScanned).
int TVXScanVertex(const char* piece, float xyz[3], bool fast);

// Whether numbers may be converted without sscanf under the current locale.
bool TVXPlainNumbersScanned();

#endif
