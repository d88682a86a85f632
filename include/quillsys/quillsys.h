#pragma once

#include "quillsys/QuillException.h"
#include "quillsys/ReferenceCount.h"
#include "quillsys/TEvent.h"
#include "quillsys/TReadWriteLock.h"
#include "quillsys/TStringCore.h"
#include "quillsys/TSystem.h"
