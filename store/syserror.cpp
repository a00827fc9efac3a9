#include "store/syserror.h"

#include <cerrno>

namespace orv {

std::string systemErrorText(int err) {
    switch (err) {
        case ENOENT:
            return "no existe el archivo o la carpeta";
        case EACCES:
            return "permiso denegado";
        case EPERM:
            return "operación no permitida";
        case EROFS:
            return "el sistema de archivos es de solo lectura";
        case ENOSPC:
            return "no queda espacio en el disco";
        case EDQUOT:
            return "se ha superado la cuota de disco";
        case EFBIG:
            return "el archivo es demasiado grande";
        case EISDIR:
            return "es una carpeta";
        case ENOTDIR:
            return "una parte de la ruta no es una carpeta";
        case EEXIST:
            return "ya existe";
        case ENAMETOOLONG:
            return "el nombre es demasiado largo";
        case ELOOP:
            return "demasiados enlaces simbólicos";
        case EMFILE:
        case ENFILE:
            return "demasiados archivos abiertos";
        case EIO:
            return "error de entrada o salida del disco";
        case EBUSY:
        case ETXTBSY:
            return "el archivo está en uso";
        case ENOMEM:
            return "no hay memoria suficiente";
        case EPIPE:
            return "la salida se ha cerrado";
        case EXDEV:
            return "no se puede enlazar entre sistemas de archivos distintos";
        case EINVAL:
            return "argumento no válido";
        case ENXIO:
        case ENODEV:
            return "no existe el dispositivo";
        case EAGAIN:
            return "recurso no disponible por ahora";
        case EINTR:
            return "interrumpido";
        default:
            return "error del sistema " + std::to_string(err);
    }
}

}  // namespace orv
