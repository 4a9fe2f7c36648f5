// The matrix operations: ZU built-ins that the scripts of a matrix call
// while the matrix worker runs an access on a node.
#pragma once

#include "zu/env.h"

// Enters the binders of every operation family of this folder into the
// matrix store's binder table; called before init_matrix, which binds
// them into the matrix script environment in their fixed order.
void install_matrix_ops();

// The binders of the node access operations.
void init_mxCH(ZUISP_ENV* env);
void init_mxSet(ZUISP_ENV* env);
void init_mxTrigger(ZUISP_ENV* env);
void init_mxLoad(ZUISP_ENV* env);
void init_mxSave(ZUISP_ENV* env);
void init_mxFinish(ZUISP_ENV* env);

// The binders of the level arithmetic.
void init_mxThinnedOut(ZUISP_ENV* env);
void init_mxDiff(ZUISP_ENV* env);
void init_mxAdd(ZUISP_ENV* env);
void init_mxSquash(ZUISP_ENV* env);
void init_mxStuffing(ZUISP_ENV* env);
void init_mxMax(ZUISP_ENV* env);

// The binders of the block formats.
void init_mxCompressZ(ZUISP_ENV* env);
void init_mxUncomressZ(ZUISP_ENV* env);
void init_mxCompressJPEG(ZUISP_ENV* env);
void init_mxUncompressJPEG(ZUISP_ENV* env);
void init_mxCompound(ZUISP_ENV* env);
void init_mxSeparate(ZUISP_ENV* env);

// The binders of the structure-block operations.
void init_mxLoadSB(ZUISP_ENV* env);
void init_mxSaveSB(ZUISP_ENV* env);
void init_mxSetSB(ZUISP_ENV* env);
