// quillmark: the region definition editor. Its only argument is the scanner model.
#include "App.h"

wxIMPLEMENT_APP(quillmark::QuillmarkApp);
