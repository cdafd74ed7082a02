// The reader's debug text in every build. VTK leaves its debug text out of builds with NDEBUG; the
// reader's, that of its property macros included, belongs to its behaviour in every build.
// Including this header makes VTK's vtkDebugMacro (and so vtkSetMacro, vtkGetMacro and the others)
// write through the full form below from here on; vtkTVXReader.h includes it between push_macro and
// pop_macro, so that the override ends with the class, and each of the reader's sources includes it
// again after its other headers.
#ifndef TVXDebugText_h
#define TVXDebugText_h

#include "vtkOStrStreamWrapper.h"
#include "vtkOutputWindow.h"
#include "vtkSetGet.h"

#define vtkTVXDebugWithObjectMacro(self, x)                                                        \
  do                                                                                               \
  {                                                                                                \
    vtkObject* _object = const_cast<vtkObject*>(static_cast<const vtkObject*>(self));              \
    if (_object->GetDebug() && vtkObject::GetGlobalWarningDisplay())                               \
    {                                                                                              \
      vtkOStreamWrapper::EndlType endl;                                                            \
      vtkOStreamWrapper::UseEndl(endl);                                                            \
      vtkOStrStreamWrapper vtkmsg;                                                                 \
      vtkmsg << _object->GetClassName() << " (" << _object << "): ";                               \
      vtkmsg << "" x;                                                                              \
      vtkOutputWindowDisplayDebugText(__FILE__, __LINE__, vtkmsg.str(), _object);                  \
      vtkmsg.rdbuf()->freeze(0);                                                                   \
    }                                                                                              \
  } while (false)

#endif

// Deliberately outside the include guard: every inclusion turns the override on again.
#undef vtkDebugWithObjectMacro
#define vtkDebugWithObjectMacro(self, x) vtkTVXDebugWithObjectMacro(self, x)
